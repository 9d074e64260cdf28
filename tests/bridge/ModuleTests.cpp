// The DLL's exports called directly: class objects, unloading, aggregation
// and the registry entries written and removed by registration.
#include <map>
#include <vector>

#include "TestSupport.h"
#include "qvWMI_h.h"

namespace {

const wchar_t kClsidKey[] = L"CLSID\\{9B0F0410-A0C3-40B7-AF17-2204BAE53BBD}";

class Exports {
public:
    Exports() {
        module_ = LoadLibraryW(BinPath(L"qvWMI.dll").c_str());
        if (!module_) return;
        canUnload = Get<HRESULT(WINAPI*)()>("DllCanUnloadNow");
        getClassObject = Get<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
        install = Get<HRESULT(WINAPI*)(BOOL, LPCWSTR)>("DllInstall");
        registerServer = Get<HRESULT(WINAPI*)()>("DllRegisterServer");
        unregisterServer = Get<HRESULT(WINAPI*)()>("DllUnregisterServer");
    }
    ~Exports() {
        if (module_) FreeLibrary(module_);
    }
    bool loaded() const { return module_ && canUnload && getClassObject && install && registerServer && unregisterServer; }
    HMODULE module() const { return module_; }

    HRESULT(WINAPI* canUnload)() = nullptr;
    HRESULT(WINAPI* getClassObject)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(WINAPI* install)(BOOL, LPCWSTR) = nullptr;
    HRESULT(WINAPI* registerServer)() = nullptr;
    HRESULT(WINAPI* unregisterServer)() = nullptr;

private:
    template <class F>
    F Get(const char* name) {
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module_, name)));
    }
    HMODULE module_ = nullptr;
};

class Module : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(exports_.loaded()); }
    ComApartment apartment_;
    Exports exports_;
};

TEST_F(Module, ExportsSitAtTheirOrdinals) {
    const char* names[] = {"DllCanUnloadNow", "DllGetClassObject", "DllInstall", "DllRegisterServer",
                           "DllUnregisterServer"};
    for (int ordinal = 1; ordinal <= 5; ++ordinal) {
        EXPECT_EQ(GetProcAddress(exports_.module(), names[ordinal - 1]),
                  GetProcAddress(exports_.module(), MAKEINTRESOURCEA(ordinal)))
            << names[ordinal - 1];
    }
}

TEST_F(Module, UnknownClassIsNotAvailable) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE, exports_.getClassObject(IID_IQvWMIAccess, IID_IClassFactory, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_HR(E_POINTER, exports_.getClassObject(CLSID_QvWMIAccess, IID_IClassFactory, nullptr));
    EXPECT_HR(E_NOINTERFACE, exports_.getClassObject(CLSID_QvWMIAccess, IID_IQvWMIAccess, &object));
    EXPECT_EQ(nullptr, object);
}

TEST_F(Module, CanUnloadOnlyWhenNoObjectOrLockLives) {
    EXPECT_HR(S_OK, exports_.canUnload());
    ComPtr<IClassFactory> factory;
    ASSERT_HR(S_OK, exports_.getClassObject(CLSID_QvWMIAccess, IID_IClassFactory, &factory));
    EXPECT_HR(S_FALSE, exports_.canUnload()) << "a client holds the class object";

    ComPtr<IQvWMIAccess> access;
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IQvWMIAccess, &access));
    EXPECT_EQ(2u, access->AddRef());
    EXPECT_EQ(1u, access->Release()) << "the client holds the only reference";
    ASSERT_HR(S_OK, factory->LockServer(TRUE));
    factory.Reset();
    EXPECT_HR(S_FALSE, exports_.canUnload());
    access.Reset();
    EXPECT_HR(S_FALSE, exports_.canUnload()) << "the server lock remains";

    ASSERT_HR(S_OK, exports_.getClassObject(CLSID_QvWMIAccess, IID_IClassFactory, &factory));
    ASSERT_HR(S_OK, factory->LockServer(FALSE));
    factory.Reset();
    EXPECT_HR(S_OK, exports_.canUnload());
}

// An outer object that counts the references its inner object forwards.
class Outer final : public IUnknown {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (IsEqualIID(riid, IID_IUnknown)) {
            *object = this;
            AddRef();
            return S_OK;
        }
        return inner ? inner->QueryInterface(riid, object) : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
    ULONG refs = 1;
    IUnknown* inner = nullptr;
};

TEST_F(Module, AggregationAsksOnlyForIUnknownAndDelegates) {
    ComPtr<IClassFactory> factory;
    ASSERT_HR(S_OK, exports_.getClassObject(CLSID_QvWMIAccess, IID_IClassFactory, &factory));
    Outer outer;
    void* object = reinterpret_cast<void*>(1);
    EXPECT_HR(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IQvWMIAccess, &object));
    EXPECT_EQ(nullptr, object);

    ASSERT_HR(S_OK, factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)));
    EXPECT_EQ(1u, outer.refs) << "the inner object must not hold its outer";

    IQvWMIAccess* access = nullptr;
    ASSERT_HR(S_OK, outer.QueryInterface(IID_IQvWMIAccess, reinterpret_cast<void**>(&access)));
    EXPECT_EQ(2u, outer.refs) << "the inner interface counts on the outer object";
    IUnknown* identity = nullptr;
    ASSERT_HR(S_OK, access->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
    EXPECT_EQ(static_cast<IUnknown*>(&outer), identity) << "identity is the outer object's";
    identity->Release();
    long timeout = 0;
    EXPECT_HR(S_OK, access->get_Timeout(&timeout));
    EXPECT_EQ(120000, timeout);
    access->Release();
    EXPECT_EQ(1u, outer.refs);

    outer.inner->Release();
    outer.inner = nullptr;
    factory.Reset();
    EXPECT_HR(S_OK, exports_.canUnload()) << "the inner object is gone";
}

// Everything below a registry key: "path" -> "value name=data" lines.
using RegistrySnapshot = std::map<std::wstring, std::wstring>;

void Snapshot(HKEY parent, const std::wstring& path, RegistrySnapshot* out) {
    HKEY key;
    if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    (*out)[path] = L"";
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        BYTE data[2048];
        DWORD dataLength = sizeof data;
        DWORD type = 0;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &dataLength) != ERROR_SUCCESS) break;
        std::wstring text = type == REG_SZ ? std::wstring(reinterpret_cast<wchar_t*>(data)) : L"<binary>";
        (*out)[path + L"|" + name] = text;
    }
    std::vector<std::wstring> children;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        children.push_back(name);
    }
    RegCloseKey(key);
    for (const std::wstring& child : children) Snapshot(parent, path + L"\\" + child, out);
}

RegistrySnapshot BridgeEntries() {
    RegistrySnapshot snapshot;
    for (const wchar_t* key : {L"QvWMI.Access", L"QvWMI.Access.1", kClsidKey,
                               L"TypeLib\\{6F08EB26-A7B8-47CE-9B67-7FF538BA5300}"})
        Snapshot(HKEY_CLASSES_ROOT, key, &snapshot);
    return snapshot;
}

bool KeyExists(HKEY root, const std::wstring& path) {
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

class Registration : public Module {
protected:
    void TearDown() override {
        // Leave the prefix registered for the other tests.
        EXPECT_HR(S_OK, exports_.registerServer());
    }
};

TEST_F(Registration, WritesEveryEntry) {
    ASSERT_HR(S_OK, exports_.registerServer());
    const RegistrySnapshot entries = BridgeEntries();
    const std::wstring clsid = kClsidKey;
    const std::pair<std::wstring, std::wstring> expected[] = {
        {L"QvWMI.Access.1|", L"QvWMIAccess Class"},
        {L"QvWMI.Access.1\\CLSID|", L"{9B0F0410-A0C3-40B7-AF17-2204BAE53BBD}"},
        {L"QvWMI.Access|", L"QvWMIAccess Class"},
        {L"QvWMI.Access\\CurVer|", L"QvWMI.Access.1"},
        {clsid + L"|", L"QvWMIAccess Class"},
        {clsid + L"\\ProgID|", L"QvWMI.Access.1"},
        {clsid + L"\\VersionIndependentProgID|", L"QvWMI.Access"},
        {clsid + L"\\Programmable", L""},
        {clsid + L"\\InprocServer32|", BinPath(L"qvWMI.dll")},
        {clsid + L"\\InprocServer32|ThreadingModel", L"Free"},
        {clsid + L"\\TypeLib|", L"{6F08EB26-A7B8-47CE-9B67-7FF538BA5300}"},
        {clsid + L"\\Version|", L"1.0"},
    };
    for (const auto& [key, value] : expected) {
        auto found = entries.find(key);
        ASSERT_NE(entries.end(), found) << "missing: " << std::string(key.begin(), key.end());
        if (key.find(L"InprocServer32|") != std::wstring::npos && key.back() == L'|')
            EXPECT_EQ(0, _wcsicmp(value.c_str(), found->second.c_str()));
        else
            EXPECT_EQ(value, found->second);
    }
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\{6F08EB26-A7B8-47CE-9B67-7FF538BA5300}\\1.0"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Interface\\{CD551180-3C66-401D-ACC2-5DF98C98BAE3}"))
        << "the dual interfaces must be registered for marshalling";
}

TEST_F(Registration, RegisteringTwiceLeavesTheSameEntriesAndNoStaleValue) {
    ASSERT_HR(S_OK, exports_.registerServer());
    const RegistrySnapshot once = BridgeEntries();

    const std::wstring clsid = kClsidKey;
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CLASSES_ROOT, (clsid + L"\\Programmable\\Stale").c_str(), &key));
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CLASSES_ROOT, clsid.c_str(), L"Stale", REG_SZ, L"x", 4));

    ASSERT_HR(S_OK, exports_.registerServer());
    EXPECT_EQ(once, BridgeEntries());
}

TEST_F(Registration, UnregisterRemovesTheClassButNotTheClsidKey) {
    ASSERT_HR(S_OK, exports_.registerServer());
    ASSERT_HR(S_OK, exports_.unregisterServer());
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"QvWMI.Access"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"QvWMI.Access.1"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\{6F08EB26-A7B8-47CE-9B67-7FF538BA5300}\\1.0"));
    CLSID clsid;
    EXPECT_NE(S_OK, CLSIDFromProgID(L"QvWMI.Access", &clsid));
    EXPECT_HR(S_OK, exports_.unregisterServer()) << "unregistering twice is no failure";
}

}  // namespace
