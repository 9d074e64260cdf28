#include "Registration.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <cwchar>

#include "HResult.h"

namespace com {
namespace {

HRESULT SetKeyValue(HKEY parent, const wchar_t* subkey, const wchar_t* name, const wchar_t* data) noexcept {
    UniqueRegKey key;
    LSTATUS status = RegCreateKeyExW(parent, subkey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS) return HResultFromWin32(status);
    if (!data) return S_OK;
    const DWORD bytes = static_cast<DWORD>((wcslen(data) + 1) * sizeof(wchar_t));
    status = RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data), bytes);
    return status == ERROR_SUCCESS ? S_OK : HResultFromWin32(status);
}

HRESULT DeleteTree(HKEY parent, const wchar_t* subkey) noexcept {
    const LSTATUS status = RegDeleteTreeW(parent, subkey);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
        // RegDeleteTree empties the key; the key itself goes with RegDeleteKey.
        const LSTATUS deleted = RegDeleteKeyW(parent, subkey);
        if (deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND) return S_OK;
        return HResultFromWin32(deleted);
    }
    return HResultFromWin32(status);
}

// Deletes parent\subkey when it has no subkeys of its own.
void DeleteIfLeaf(HKEY parent, const wchar_t* subkey) noexcept {
    UniqueRegKey key;
    if (RegOpenKeyExW(parent, subkey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
    DWORD subkeys = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr) != ERROR_SUCCESS || subkeys != 0)
        return;
    key.reset();
    RegDeleteKeyW(parent, subkey);
}

// Type libraries are registered per platform (the win32 or win64 subkey):
// unregistration names the one this module was built for.
constexpr SYSKIND kModuleSysKind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;

// Whether classKey exists, machine-wide or for the user, in the registry
// view of the other architecture (a 32-bit module looks at the 64-bit view
// and the other way round). On a 32-bit system there is one view, where the
// key was just deleted. The views are named from the roots: a key opened
// through an already open handle stays in that handle's view.
bool ClassKeyInOtherView(const wchar_t* classKey) noexcept {
    const REGSAM otherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    wchar_t path[128];
    swprintf(path, 128, L"Software\\Classes\\%ls", classKey);
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        UniqueRegKey key;
        if (RegOpenKeyExW(root, path, 0, KEY_READ | otherView, key.put()) == ERROR_SUCCESS) return true;
    }
    return false;
}

using RegisterForUserFunction = HRESULT(WINAPI*)(ITypeLib*, OLECHAR*, OLECHAR*);
using UnregisterForUserFunction = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);

template <class Function>
Function OleAutomationFunction(const char* name) noexcept {
    HMODULE oleaut = GetModuleHandleW(L"OLEAUT32.DLL");
    FARPROC address = oleaut ? GetProcAddress(oleaut, name) : nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

}  // namespace

void GuidToString(const GUID& guid, wchar_t (&text)[39]) noexcept {
    StringFromGUID2(guid, text, 39);
}

HRESULT OpenClassesRoot(bool perUser, UniqueRegKey* root) noexcept {
    HKEY base = perUser ? HKEY_CURRENT_USER : HKEY_CLASSES_ROOT;
    const wchar_t* path = perUser ? L"Software\\Classes" : nullptr;
    const LSTATUS status =
        RegCreateKeyExW(base, path ? path : L"", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, root->put(), nullptr);
    return status == ERROR_SUCCESS ? S_OK : HResultFromWin32(status);
}

HRESULT RegisterClassKeys(HKEY classesRoot, const ClassRegistration& entry, const wchar_t* modulePath,
                          const GUID& libid) noexcept {
    wchar_t clsid[39];
    GuidToString(*entry.clsid, clsid);
    wchar_t libidText[39];
    GuidToString(libid, libidText);

    if (entry.progId) {
        RETURN_IF_FAILED(SetKeyValue(classesRoot, entry.progId, nullptr, entry.description));
        wchar_t key[256];
        swprintf(key, 256, L"%ls\\CLSID", entry.progId);
        RETURN_IF_FAILED(SetKeyValue(classesRoot, key, nullptr, clsid));
    }
    if (entry.versionIndependentProgId) {
        RETURN_IF_FAILED(SetKeyValue(classesRoot, entry.versionIndependentProgId, nullptr, entry.description));
        wchar_t key[256];
        swprintf(key, 256, L"%ls\\CLSID", entry.versionIndependentProgId);
        RETURN_IF_FAILED(SetKeyValue(classesRoot, key, nullptr, clsid));
        if (entry.progId) {
            swprintf(key, 256, L"%ls\\CurVer", entry.versionIndependentProgId);
            RETURN_IF_FAILED(SetKeyValue(classesRoot, key, nullptr, entry.progId));
        }
    }

    wchar_t classKey[64];
    swprintf(classKey, 64, L"CLSID\\%ls", clsid);
    wchar_t sub[128];
    swprintf(sub, 128, L"%ls\\Programmable", classKey);
    RETURN_IF_FAILED(DeleteTree(classesRoot, sub));
    RETURN_IF_FAILED(DeleteTree(classesRoot, classKey));

    RETURN_IF_FAILED(SetKeyValue(classesRoot, classKey, nullptr, entry.description));
    struct SubValue {
        const wchar_t* subkey;
        const wchar_t* name;
        const wchar_t* data;
    };
    const SubValue values[] = {
        {L"ProgID", nullptr, entry.progId},
        {L"VersionIndependentProgID", nullptr, entry.versionIndependentProgId},
        {L"InprocServer32", nullptr, modulePath},
        {L"InprocServer32", L"ThreadingModel", entry.threadingModel},
        {L"TypeLib", nullptr, libidText},
        {L"Version", nullptr, entry.version},
    };
    if (entry.programmable) {
        swprintf(sub, 128, L"%ls\\Programmable", classKey);
        RETURN_IF_FAILED(SetKeyValue(classesRoot, sub, nullptr, nullptr));
    }
    for (const SubValue& value : values) {
        if (!value.data) continue;
        swprintf(sub, 128, L"%ls\\%ls", classKey, value.subkey);
        RETURN_IF_FAILED(SetKeyValue(classesRoot, sub, value.name, value.data));
    }
    return S_OK;
}

HRESULT UnregisterClassKeys(HKEY classesRoot, const ClassRegistration& entry) noexcept {
    wchar_t clsid[39];
    GuidToString(*entry.clsid, clsid);
    wchar_t classKey[64];
    swprintf(classKey, 64, L"CLSID\\%ls", clsid);
    wchar_t sub[128];
    swprintf(sub, 128, L"%ls\\Implemented Categories", classKey);
    DeleteIfLeaf(classesRoot, sub);
    swprintf(sub, 128, L"%ls\\Required Categories", classKey);
    DeleteIfLeaf(classesRoot, sub);

    RETURN_IF_FAILED(DeleteTree(classesRoot, classKey));
    // ProgID keys are shared by the 32-bit and the 64-bit registry views,
    // class keys are not: while the other architecture's build of this
    // class is registered, its clients still need the ProgIDs.
    if (ClassKeyInOtherView(classKey)) return S_OK;
    if (entry.progId) RETURN_IF_FAILED(DeleteTree(classesRoot, entry.progId));
    if (entry.versionIndependentProgId) RETURN_IF_FAILED(DeleteTree(classesRoot, entry.versionIndependentProgId));
    return S_OK;
}

HRESULT RegisterTypeLibrary(const wchar_t* modulePath, const wchar_t* helpDirectory, bool perUser) noexcept {
    Microsoft::WRL::ComPtr<ITypeLib> library;
    wchar_t path[MAX_PATH];
    wcsncpy(path, modulePath, MAX_PATH - 1);
    path[MAX_PATH - 1] = L'\0';
    HRESULT hr = LoadTypeLibEx(path, REGKIND_NONE, &library);
    if (FAILED(hr)) {
        wchar_t* dot = wcsrchr(path, L'.');
        if (!dot || (dot - path) + 5 > MAX_PATH - 1) return hr;
        wcscpy(dot, L".tlb");
        hr = LoadTypeLibEx(path, REGKIND_NONE, &library);
        if (FAILED(hr)) return hr;
    }
    // Without a folder of its own, the help folder is the module's folder with
    // its closing backslash, the form an installer writes for a folder: left
    // to the system, the value's form differs between systems.
    wchar_t moduleFolder[MAX_PATH];
    if (!helpDirectory) {
        wcsncpy(moduleFolder, modulePath, MAX_PATH - 1);
        moduleFolder[MAX_PATH - 1] = L'\0';
        if (wchar_t* name = wcsrchr(moduleFolder, L'\\')) name[1] = L'\0';
        helpDirectory = moduleFolder;
    }
    wchar_t* help = const_cast<wchar_t*>(helpDirectory);
    if (perUser) {
        if (auto registerForUser =
                OleAutomationFunction<RegisterForUserFunction>("RegisterTypeLibForUser"))
            return registerForUser(library.Get(), path, help);
    }
    return RegisterTypeLib(library.Get(), path, help);
}

HRESULT UnregisterTypeLibrary(const GUID& libid, WORD major, WORD minor, LCID lcid, bool perUser) noexcept {
    // A library that is not registered is already in the state we want.
    wchar_t libidText[39];
    GuidToString(libid, libidText);
    wchar_t versionKey[64];
    swprintf(versionKey, 64, L"TypeLib\\%ls\\%x.%x", libidText, major, minor);
    UniqueRegKey existing;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, versionKey, 0, KEY_READ, existing.put()) != ERROR_SUCCESS) return S_OK;
    existing.reset();

    // With the other architecture's build still registered (its platform's
    // subkey beside ours), UnRegisterTypeLib would take the interfaces' keys
    // of both registry views with it (the system writes and removes them in
    // both) and break that build's calls across apartments: then only this
    // platform's subkey goes, in both views.
    wchar_t lcidKey[96];
    swprintf(lcidKey, 96, L"%ls\\%lx", versionKey, static_cast<unsigned long>(lcid));
    const wchar_t* ownPlatform = kModuleSysKind == SYS_WIN64 ? L"win64" : L"win32";
    const wchar_t* otherPlatform = kModuleSysKind == SYS_WIN64 ? L"win32" : L"win64";
    wchar_t otherKey[112];
    swprintf(otherKey, 112, L"%ls\\%ls", lcidKey, otherPlatform);
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, otherKey, 0, KEY_READ, existing.put()) == ERROR_SUCCESS) {
        existing.reset();
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
            UniqueRegKey platforms;
            if (RegOpenKeyExW(HKEY_CLASSES_ROOT, lcidKey, 0, KEY_READ | KEY_WRITE | view, platforms.put()) ==
                ERROR_SUCCESS)
                RegDeleteKeyW(platforms.get(), ownPlatform);
        }
        return S_OK;
    }

    HRESULT hr;
    if (perUser) {
        if (auto unregisterForUser =
                OleAutomationFunction<UnregisterForUserFunction>("UnRegisterTypeLibForUser")) {
            hr = unregisterForUser(libid, major, minor, lcid, kModuleSysKind);
        } else {
            hr = UnRegisterTypeLib(libid, major, minor, lcid, kModuleSysKind);
        }
    } else {
        hr = UnRegisterTypeLib(libid, major, minor, lcid, kModuleSysKind);
    }
    return hr;
}

}  // namespace com
