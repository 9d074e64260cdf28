// The check end to end against Wine's WMI: the plug-in in a single-threaded
// apartment, the bridge (registered free-threaded) behind proxies.
#include <wbemidl.h>

#include <atomic>
#include <functional>
#include <thread>

#include "CheckHarness.h"

namespace {

class Check : public ::testing::Test {
protected:
    ComApartment apartment_{COINIT_APARTMENTTHREADED};
};

// A property of the first object a query returns, straight from WMI, as text.
std::wstring DirectValue(const wchar_t* statement, const wchar_t* property) {
    ComPtr<IWbemLocator> locator;
    ComPtr<IWbemServices> services;
    ComPtr<IEnumWbemClassObject> results;
    Bstr path(L"root\\cimv2"), wql(L"WQL"), query(statement);
    if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, &locator)) ||
        FAILED(locator->ConnectServer(path.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services)) ||
        FAILED(services->ExecQuery(wql.get(), query.get(), WBEM_FLAG_FORWARD_ONLY, nullptr, &results)))
        return L"";
    ComPtr<IWbemClassObject> object;
    ULONG returned = 0;
    if (results->Next(WBEM_INFINITE, 1, &object, &returned) != S_OK) return L"";
    VARIANT value;
    VariantInit(&value);
    object->Get(property, 0, &value, nullptr, nullptr);
    std::wstring text;
    if (SUCCEEDED(VariantChangeType(&value, &value, 0, VT_BSTR))) text = V_BSTR(&value);
    VariantClear(&value);
    return text;
}

std::wstring RunningService() {
    return DirectValue(L"SELECT * FROM Win32_Service WHERE State = 'Running'", L"Name");
}

TEST_F(Check, RunningServiceByOperator) {
    const std::wstring service = RunningService();
    ASSERT_FALSE(service.empty());
    const std::wstring filter = L"Name = '" + service + L"'";
    const struct {
        const wchar_t* op;
        const wchar_t* property;
        bool verdict;
        const wchar_t* result;
    } cases[] = {
        {L"EXA", L"State", true, L"State=Running"},
        {L"NCO", L"State", false, L"State=Running (contains Running)"},
        {L"CON", L"State", true, L"State=Running (contains Running)"},
        {L"DIF", L"State", false, L"State=Running (not different from Running)"},
        {L"EXA", L"state", false, L"Prop not found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.op) + " " + Narrow(c.property));
        CheckRun run = RunCheck(L".", NumberVariant(30), Parameters(L"Win32_Service", filter, c.property, c.op,
                                                                     L"Running"));
        ASSERT_HR(S_OK, run.hr);
        EXPECT_EQ(c.verdict, run.verdict);
        EXPECT_EQ(c.result, run.result);
    }
}

TEST_F(Check, UnknownOperatorGivesNameAndValueOnly) {
    const std::wstring service = RunningService();
    std::wstring parameters = Parameters(L"Win32_Service", L"Name = '" + service + L"'", L"State", L"EXA", L"x");
    parameters.replace(parameters.find(L"#CWA=EXA#"), 9, L"#CWA=xyz#");
    CheckRun run = RunCheck(L".", NumberVariant(30), parameters);
    ASSERT_HR(S_OK, run.hr);
    EXPECT_FALSE(run.verdict);
    EXPECT_EQ(L"State=Running", run.result);
}

// An object whose default value is the object itself: converting it the
// usual way calls it again without end.
class SelfValued final : public IDispatch {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch)) return *object = nullptr, E_NOINTERFACE;
        *object = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs_;
        if (!left) delete this;
        return left;
    }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override {
        ++calls;
        if (calls > 1000) return E_FAIL;  // a recursion stops here instead of overflowing the stack
        V_VT(result) = VT_DISPATCH;
        V_DISPATCH(result) = this;
        AddRef();
        return S_OK;
    }
    std::atomic<long> calls{0};

private:
    std::atomic<ULONG> refs_{1};
};

VARIANT ObjectVariant(IDispatch* object) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_DISPATCH;
    V_DISPATCH(&v) = object;
    object->AddRef();
    return v;
}

std::wstring WithLevels(std::wstring parameters, const wchar_t* aul) {
    parameters.replace(parameters.find(L"#AUL=4#"), 7, std::wstring(L"#AUL=") + aul + L"#");
    return parameters;
}

TEST_F(Check, FailuresAtTheCheckpointsGiveErrorTexts) {
    SelfValued* selfValued = new SelfValued;
    const struct {
        const char* name;
        VARIANT timeout;
        std::wstring parameters;
        const wchar_t* prefix;
        const wchar_t* mentions = L"";
    } cases[] = {
        {"empty class path", NumberVariant(30), Parameters(L"", L"", L"State", L"EXA", L"x"), L"(-2147024809)"},
        {"time-out 0 ends at the connection", NumberVariant(0), Parameters(L"Win32_Service", L"", L"State", L"EXA", L"x"),
         L"(-2147023436)"},
        {"unknown class: the bridge's description names it", NumberVariant(30),
         Parameters(L"Win32_NoSuchClass", L"", L"State", L"EXA", L"x"), L"(-2147217406)",
         L"(ACTION: Server::GetClass) (CONTEXT: Failed to retrieve WMI object for the specified path "
         L"'Win32_NoSuchClass'.)"},
        {"negative time-out is 0, not no limit", NumberVariant(-0.001),
         Parameters(L"Win32_Service", L"", L"State", L"EXA", L"x"), L"(-2147023436)"},
        {"time-out object whose value is an object", ObjectVariant(selfValued),
         Parameters(L"Win32_Service", L"", L"State", L"EXA", L"x"), L"(-2147352571)"},
        {"authentication level outside 0..6", NumberVariant(30),
         WithLevels(Parameters(L"Win32_Service", L"", L"State", L"EXA", L"x"), L"9"), L"(-2147024809)"},
        {"authentication level beyond 32 bits", NumberVariant(30),
         WithLevels(Parameters(L"Win32_Service", L"", L"State", L"EXA", L"x"), L"1E10"), L"(-2147352566)"},
        {"filter ending inside a quote", NumberVariant(30),
         Parameters(L"Win32_Service", L"Name = '", L"State", L"EXA", L"x"), L"(-2147217385)"},
        {"time-out that is no number", TextVariant(L"ten"), Parameters(L"Win32_Service", L"", L"State", L"EXA", L"x"),
         L"(-2147352571)"},
        {"invalid filter fails the walk", NumberVariant(30),
         Parameters(L"Win32_Service", L"State = = 'x", L"State", L"EXA", L"x"), L"(-2147217385)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CheckRun run = RunCheck(L".", c.timeout, c.parameters);
        ASSERT_HR(S_OK, run.hr);
        EXPECT_FALSE(run.verdict);
        EXPECT_EQ(0u, run.result.find(c.prefix)) << Narrow(run.result);
        EXPECT_GT(run.result.size(), wcslen(c.prefix)) << "a description follows the number";
        EXPECT_NE(std::wstring::npos, run.result.find(c.mentions)) << Narrow(run.result);
        EXPECT_EQ(std::wstring::npos, run.result.find_first_of(L"\r\n")) << "one line: " << Narrow(run.result);
    }
    EXPECT_EQ(1, selfValued->calls.load()) << "the object's default value is asked once";
    selfValued->Release();
}

// Wine's WMI is not safe to call from two threads at once; checks on two
// host threads must still all succeed (the bridge serialises the calls).
TEST_F(Check, TwoHostThreadsCheckAtOnce) {
    const std::wstring service = RunningService();
    ASSERT_FALSE(service.empty());
    const std::wstring parameters =
        Parameters(L"Win32_Service", L"Name = '" + service + L"'", L"State", L"EXA", L"Running");
    std::atomic<int> holds{0};
    auto host = [&] {
        ComApartment apartment(COINIT_APARTMENTTHREADED);
        for (int i = 0; i < 15; ++i) holds += RunCheck(L".", NumberVariant(30), parameters).verdict;
    };
    std::thread first(host), second(host);
    first.join();
    second.join();
    EXPECT_EQ(30, holds.load());
}

TEST_F(Check, OrderingOperatorsReadTheCompareValueAsANumber) {
    // One instance, one number: the logical processors of this computer.
    const std::wstring value = DirectValue(L"SELECT * FROM Win32_ComputerSystem", L"NumberOfLogicalProcessors");
    ASSERT_FALSE(value.empty());
    const double number = std::stod(value);
    const struct {
        const wchar_t* op;
        const wchar_t* compare;
        double number;
    } cases[] = {
        {L"LES", L"1 000", 1000}, {L"LEQ", L"80%", 80}, {L"MOR", L"no number", 0}, {L"MEQ", L"1 000", 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.op) + " " + Narrow(c.compare));
        const std::wstring op = c.op;
        const bool holds = op == L"LES" ? number < c.number : op == L"LEQ" ? number <= c.number
                                                             : op == L"MOR" ? number > c.number : number >= c.number;
        const std::wstring phrase = op == L"LES" ? L"<" : op == L"LEQ" ? L"<=" : op == L"MOR" ? L">" : L"=>";
        CheckRun run = RunCheck(L".", NumberVariant(30),
                                Parameters(L"Win32_ComputerSystem", L"", L"NumberOfLogicalProcessors", op, c.compare));
        ASSERT_HR(S_OK, run.hr);
        EXPECT_EQ(holds, run.verdict);
        EXPECT_EQ(L"NumberOfLogicalProcessors=" + value + (holds ? L" (" : L" (!! not ") + phrase + c.compare + L")", run.result);
    }
}

// With the bridge unregistered the check reports why the access object could
// not be made, not the calls that could not be made without it.
TEST_F(Check, UnregisteredBridgeReportsTheCreationFailure) {
    HMODULE bridge = LoadLibraryW(BinPath(L"qvWMI.dll").c_str());
    ASSERT_NE(nullptr, bridge);
    auto unregister = reinterpret_cast<HRESULT(WINAPI*)()>(
        reinterpret_cast<void (*)()>(GetProcAddress(bridge, "DllUnregisterServer")));
    auto reregister = reinterpret_cast<HRESULT(WINAPI*)()>(
        reinterpret_cast<void (*)()>(GetProcAddress(bridge, "DllRegisterServer")));
    ASSERT_HR(S_OK, unregister());
    CheckRun run = RunCheck(L".", NumberVariant(30), Parameters(L"Win32_Service", L"", L"State", L"EXA", L"x"));
    EXPECT_HR(S_OK, reregister());
    FreeLibrary(bridge);
    ASSERT_HR(S_OK, run.hr);
    EXPECT_FALSE(run.verdict);
    EXPECT_EQ(0u, run.result.find(L"(-2147221005)")) << "Invalid class string: " << Narrow(run.result);
}

TEST_F(Check, UnreadableInputsRaiseAnErrorAndKeepTheResult) {
    CLSID clsid;
    ASSERT_HR(S_OK, CLSIDFromProgID(L"ostrel.WMICom", &clsid));
    ComPtr<_WMICom> check;
    ASSERT_HR(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__WMICom, &check));
    VARIANT previous = TextVariant(L"previous result");
    check->put_km_result(previous);
    VariantClear(&previous);

    VARIANT null;
    VariantInit(&null);
    V_VT(&null) = VT_NULL;
    VARIANT badPassword = TextVariant(L"#PWD==abc#CLS=Win32_Service#");
    const struct {
        const char* name;
        VARIANT host;
        VARIANT parameter;
    } cases[] = {
        {"null host name", null, TextVariant(L"")},
        {"null parameter string", TextVariant(L"."), null},
        {"password group starting with '='", TextVariant(L"."), badPassword},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        check->put_km_hostname(c.host);
        check->put_km_parameter(c.parameter);
        VARIANT_BOOL verdict = VARIANT_TRUE;
        SetErrorInfo(0, nullptr);
        EXPECT_TRUE(FAILED(check->km_docheck(&verdict)));
        const ErrorRecord info = TakeErrorInfo();
        EXPECT_EQ(L"ostrel.WMICom", info.source) << "the plug-in's own description, not an older one";
        VARIANT result;
        VariantInit(&result);
        check->get_km_result(&result);
        EXPECT_EQ(std::wstring(L"previous result"), V_BSTR(&result));
        VariantClear(&result);
    }
    for (const auto& c : cases) {
        VARIANT host = c.host, parameter = c.parameter;
        VariantClear(&host);
        VariantClear(&parameter);
    }
}

// What the host may not store is refused with the plug-in's own description.
TEST_F(Check, RefusedMembersSayWhy) {
    CLSID clsid;
    ASSERT_HR(S_OK, CLSIDFromProgID(L"ostrel.WMICom", &clsid));
    ComPtr<_WMICom> check;
    ASSERT_HR(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__WMICom, &check));
    VARIANT number = NumberVariant(5), dangling;
    V_VT(&dangling) = VT_BYREF | VT_I4;
    V_I4REF(&dangling) = nullptr;
    const struct {
        const char* name;
        std::function<HRESULT()> call;
        HRESULT expected;
    } cases[] = {
        {"putref of a number", [&] { return check->putref_km_result(number); }, static_cast<HRESULT>(0x800A01A8)},
        {"put of a reference to nothing", [&] { return check->put_km_timeout(dangling); }, E_POINTER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetErrorInfo(0, nullptr);
        EXPECT_HR(c.expected, c.call());
        EXPECT_EQ(L"ostrel.WMICom", TakeErrorInfo().source);
    }
}

}  // namespace
