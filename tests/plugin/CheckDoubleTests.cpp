// The check against the WMI test double: what reaches WMI, the last matching
// instance deciding, values Wine's WMI cannot produce, and failures inside
// the walk.
#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "../../common/BoundedWork.h"
#include "CheckHarness.h"
#include "WmiDouble.h"

namespace {

// Sees every block that COM's task allocator frees (BSTRs among them, with
// the BSTR cache off) and counts those that still hold the secret.
class FreedBlockSpy final : public IMallocSpy {
public:
    explicit FreedBlockSpy(const std::wstring& secret) : secret_(secret) { InitializeCriticalSection(&lock_); }
    ~FreedBlockSpy() { DeleteCriticalSection(&lock_); }
    int BlocksWithSecret() {
        EnterCriticalSection(&lock_);
        const int found = found_;
        LeaveCriticalSection(&lock_);
        return found;
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        *object = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMallocSpy) ? this : nullptr;
        return *object ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T request) override { return pending_ = request, request; }
    STDMETHODIMP_(void*) PostAlloc(void* block) override {
        Remember(block, pending_);
        return block;
    }
    STDMETHODIMP_(void*) PreFree(void* block, BOOL spied) override {
        if (spied && block) Inspect(block);
        return block;
    }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T) PreRealloc(void* block, SIZE_T request, void** newBlock, BOOL spied) override {
        if (spied && block) Inspect(block);
        *newBlock = block;
        return pending_ = request, request;
    }
    STDMETHODIMP_(void*) PostRealloc(void* block, BOOL) override {
        Remember(block, pending_);
        return block;
    }
    STDMETHODIMP_(void*) PreGetSize(void* block, BOOL) override { return block; }
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T size, BOOL) override { return size; }
    STDMETHODIMP_(void*) PreDidAlloc(void* block, BOOL) override { return block; }
    STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    STDMETHODIMP_(void) PreHeapMinimize() override {}
    STDMETHODIMP_(void) PostHeapMinimize() override {}

private:
    void Remember(void* block, SIZE_T size) {
        if (!block) return;
        EnterCriticalSection(&lock_);
        sizes_[block] = size;
        LeaveCriticalSection(&lock_);
    }
    void Inspect(void* block) {
        EnterCriticalSection(&lock_);
        auto known = sizes_.find(block);
        if (known != sizes_.end()) {
            const auto* bytes = static_cast<const char*>(block);
            const std::string text(bytes, known->second);
            const std::string secret(reinterpret_cast<const char*>(secret_.data()), secret_.size() * sizeof(wchar_t));
            if (text.find(secret) != std::string::npos) ++found_;
            sizes_.erase(known);
        }
        LeaveCriticalSection(&lock_);
    }

    const std::wstring secret_;
    CRITICAL_SECTION lock_;
    std::map<void*, SIZE_T> sizes_;
    static thread_local SIZE_T pending_;
    int found_ = 0;
};
thread_local SIZE_T FreedBlockSpy::pending_ = 0;

// The fields of "State of Double_Service is exactly Running".
CheckParameters ServiceStateIsRunning() {
    CheckParameters fields;
    fields.nameSpace = L"root\\cimv2";
    fields.classPath = L"Double_Service";
    fields.property = L"State";
    fields.operatorCode = L"EXA";
    fields.compareValue = L"Running";
    return fields;
}

class CheckAgainstDouble : public ::testing::Test {
protected:
    void SetUp() override { WmiDoubleReset(); }
    ComApartment apartment_{COINIT_APARTMENTTHREADED};
};

TEST_F(CheckAgainstDouble, LastMatchingInstanceDecides) {
    const struct {
        const wchar_t* classPath;
        bool verdict;
        const wchar_t* result;
    } cases[] = {
        {L"Double_Service", true, L"State=Running"},
        {L"Double_ServiceStoppedLast", false, L"State=Stopped (not the same as Running)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.classPath));
        CheckRun run = RunCheck(L".", NumberVariant(30), Parameters(c.classPath, L"", L"State", L"EXA", L"Running"));
        ASSERT_HR(S_OK, run.hr);
        EXPECT_EQ(c.verdict, run.verdict);
        EXPECT_EQ(c.result, run.result);
    }
}

TEST_F(CheckAgainstDouble, ValuesWineCannotProduce) {
    const struct {
        const char* name;
        const wchar_t* property;
        const wchar_t* op;
        const wchar_t* compare;
        bool verdict;
        const wchar_t* result;  // or the error text's start
    } cases[] = {
        {"NULL value with EXA", L"Caption", L"EXA", L"x", false, L"Caption= (not the same as x)"},
        {"NULL value satisfies not even NCO", L"Caption", L"NCO", L"x", false, L"Caption= (contains x)"},
        {"64-bit integer delivered as text", L"Capacity", L"LES", L"6000000000", true,
         L"Capacity=5000000000 (<6000000000)"},
        {"negative 64-bit integer as text", L"Offset", L"MOR", L"0", false, L"Offset=-5000000000 (!! not >0)"},
        {"an array cannot be compared", L"Dependencies", L"CON", L"RpcSs", false, L"(-2147352571)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CheckRun run = RunCheck(L".", NumberVariant(30), Parameters(L"Double_Service", L"", c.property, c.op, c.compare));
        ASSERT_HR(S_OK, run.hr);
        EXPECT_EQ(c.verdict, run.verdict);
        EXPECT_EQ(0u, run.result.find(c.result)) << Narrow(run.result);
    }
}

TEST_F(CheckAgainstDouble, FailuresInsideTheWalkAreErrors) {
    const struct {
        const wchar_t* classPath;
        const wchar_t* prefix;
    } cases[] = {
        {L"Double_NextFails", L"(-2147217407)"},     // the query, half-way through the pull
        {L"Double_NamesFail", L"(-2147217407)"},     // the class's property list
        {L"Double_MissingField", L"(-2147217406)"},  // a field the second instance lacks
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.classPath));
        CheckRun run = RunCheck(L".", NumberVariant(30), Parameters(c.classPath, L"", L"Name", L"CON", L""));
        ASSERT_HR(S_OK, run.hr);
        EXPECT_FALSE(run.verdict);
        EXPECT_EQ(0u, run.result.find(c.prefix)) << Narrow(run.result);
    }
}

// A step that no time-out of WMI's bounds (here the class's property list)
// still ends the check at the deadline: three time-outs and a second.
TEST_F(CheckAgainstDouble, TheHostWaitsNoLongerThanTheDeadline) {
    const ULONGLONG start = GetTickCount64();
    CheckRun run = RunCheck(L".", NumberVariant(0.2), Parameters(L"Double_NamesStall", L"", L"Name", L"CON", L""));
    const ULONGLONG took = GetTickCount64() - start;
    ASSERT_HR(S_OK, run.hr);
    EXPECT_FALSE(run.verdict);
    EXPECT_EQ(0u, run.result.find(L"(-2147023436)")) << Narrow(run.result);
    EXPECT_GE(took, 1600u);
    EXPECT_LT(took, 1900u);
    // The abandoned run finishes on its own once WMI answers.
    EXPECT_EQ(0, WmiDoubleCancelStalls());
    for (ULONGLONG wait = GetTickCount64(); WmiDoubleLiveObjects() && GetTickCount64() - wait < 5000;) Sleep(10);
    EXPECT_EQ(0, WmiDoubleLiveObjects());
}

// An empty user name connects with the caller's own identity: domain,
// password and locale stay out even when the string holds them.
TEST_F(CheckAgainstDouble, CredentialsReachWmiOnlyWithAUserName) {
    CheckParameters fields = ServiceStateIsRunning();
    fields.domain = L"CORP";
    fields.password = L"secret";
    fields.locale = L"MS_409";
    std::wstring withoutUser, withUser;
    ASSERT_HR(S_OK, ComposeParameterString(fields, &withoutUser));
    fields.user = L"admin";
    ASSERT_HR(S_OK, ComposeParameterString(fields, &withUser));

    ASSERT_HR(S_OK, RunCheck(L"SRV01", NumberVariant(30), withoutUser).hr);
    std::wstring record = WmiDoubleRecordText();
    EXPECT_NE(std::wstring::npos,
              record.find(L"ConnectServer path=\"\\\\SRV01\\root\\cimv2\" user=(null) password=(null) locale=(null)"))
        << Narrow(record);

    WmiDoubleReset();
    ASSERT_HR(S_OK, RunCheck(L"SRV01", NumberVariant(30), withUser).hr);
    record = WmiDoubleRecordText();
    EXPECT_NE(std::wstring::npos,
              record.find(L"ConnectServer path=\"\\\\SRV01\\root\\cimv2\" user=\"admin\" password=\"secret\" "
                          L"locale=\"MS_409\" flags=0x0 authority=\"ntlmdomain:CORP\""))
        << Narrow(record);

    // A user's domain prefix with an empty domain field is kept on another
    // computer: never that computer's local account of the same name.
    fields.domain.clear();
    fields.user = L"CORP\\monitor";
    std::wstring prefixed;
    ASSERT_HR(S_OK, ComposeParameterString(fields, &prefixed));
    WmiDoubleReset();
    ASSERT_HR(S_OK, RunCheck(L"SRV01", NumberVariant(30), prefixed).hr);
    record = WmiDoubleRecordText();
    EXPECT_NE(std::wstring::npos, record.find(L"user=\"monitor\" password=\"secret\" locale=\"MS_409\" flags=0x0 "
                                              L"authority=\"ntlmdomain:CORP\""))
        << Narrow(record);
}

// No copy of the password is freed unwiped, on the plug-in's side or the
// bridge's: every BSTR that held it is overwritten first.
TEST_F(CheckAgainstDouble, NoFreedStringHoldsThePassword) {
    const std::wstring password = L"S3cr3t-Pa55w0rd";
    CheckParameters fields = ServiceStateIsRunning();
    fields.user = L"CORP\\admin";
    fields.password = password;
    std::wstring parameters;
    ASSERT_HR(S_OK, ComposeParameterString(fields, &parameters));

    // The BSTR cache off: every freed string reaches the task allocator
    // (mingw-w64's import library lacks this export).
    auto setOaNoCache = reinterpret_cast<void(WINAPI*)()>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"oleaut32.dll"), "SetOaNoCache")));
    ASSERT_NE(nullptr, setOaNoCache);
    setOaNoCache();
    FreedBlockSpy spy(password);
    ASSERT_HR(S_OK, CoRegisterMallocSpy(&spy));
    CheckRun run = RunCheck(L"SRV01", NumberVariant(30), parameters);
    ASSERT_HR(S_OK, CoRevokeMallocSpy());
    ASSERT_HR(S_OK, run.hr);
    EXPECT_NE(std::wstring::npos, WmiDoubleRecordText().find(L"password=\"" + password + L"\""))
        << "the password reached WMI";
    EXPECT_EQ(0, spy.BlocksWithSecret());
}

// km_timeout given as text or as a number sets the same time-out, in
// milliseconds, and it reaches WMI's class lookup.
TEST_F(CheckAgainstDouble, TimeoutAsTextOrNumberIsTheSame) {
    for (VARIANT timeout : {TextVariant(L"10"), NumberVariant(10)}) {
        WmiDoubleReset();
        ASSERT_HR(S_OK, RunCheck(L".", timeout, Parameters(L"Double_Service", L"", L"State", L"EXA", L"x")).hr);
        EXPECT_NE(std::wstring::npos, WmiDoubleRecordText().find(L"GetResultObject timeout=10000\n"))
            << Narrow(WmiDoubleRecordText());
    }
}

}  // namespace

// Checks of a target that stops answering must not pile up threads nor make
// every later check wait out its deadline: the first is abandoned at its
// deadline, and until it returns every check of that target fails at once.
// Another target is checked meanwhile as usual, and once the stall clears
// the target is checked again and the threads go back.
class AbandonedChecks : public CheckAgainstDouble {
protected:
    // Waits until threads beyond the start are gone (idle pool workers end
    // after some seconds), or 20 s have passed; returns the count.
    static int ThreadsAtRest(int start) {
        int threads = ProcessThreadCount();
        for (ULONGLONG wait = GetTickCount64(); threads > start + 1 && GetTickCount64() - wait < 20000; Sleep(100))
            threads = ProcessThreadCount();
        return threads;
    }
    static ULONGLONG Took(CheckRun* run, const std::wstring& nameSpace, const wchar_t* classPath, double seconds) {
        const ULONGLONG start = GetTickCount64();
        *run = RunCheck(L".", NumberVariant(seconds),
                        Parameters(classPath, L"", L"State", L"EXA", L"Running", nameSpace));
        return GetTickCount64() - start;
    }
};

TEST_F(AbandonedChecks, AStalledTargetCostsOneThreadAndFailsFast) {
    CheckRun run;
    Took(&run, L"root\\cimv2", L"Double_Service", 30);  // loads everything once
    const ULONGLONG alone = Took(&run, L"root\\cimv2", L"Double_Service", 30);
    ASSERT_TRUE(run.verdict) << Narrow(run.result);
    const int start = ProcessThreadCount();

    // A connection that does not return (the bridge's worker is abandoned),
    // and a step that no WMI time-out bounds (the check's worker is). Every
    // check of it fails with the time-out's number; after the first, at once.
    const struct {
        const wchar_t* nameSpace;
        const wchar_t* classPath;
        double seconds;
        const wchar_t* refusal;  // what the fast refusals say
    } cases[] = {
        {L"root\\stall2000000000", L"Double_Service", 0.1,
         L"A call to '\\\\.\\root\\stall2000000000' has not returned for"},
        {L"root\\namesstall", L"Double_NamesStall", 0.1,
         L"A check of \\\\.\\root\\namesstall timed out and has not returned for"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.nameSpace));
        Took(&run, c.nameSpace, c.classPath, c.seconds);
        EXPECT_EQ(0u, run.result.find(L"(-2147023436)")) << Narrow(run.result);
        for (int i = 0; i < 40; ++i) {
            const ULONGLONG took = Took(&run, c.nameSpace, c.classPath, c.seconds);
            ASSERT_HR(S_OK, run.hr);
            EXPECT_FALSE(run.verdict);
            EXPECT_EQ(0u, run.result.find(L"(-2147023436)")) << Narrow(run.result);
            EXPECT_NE(std::wstring::npos, run.result.find(c.refusal)) << Narrow(run.result);
            EXPECT_LT(took, 500u) << "the refusal waited";
        }
        EXPECT_LE(ProcessThreadCount(), start + 2);  // a worker held for each stalled target
    }
    // Another target answers as it does alone (0.01 s here; under a pile of
    // abandoned workers it took 7 s).
    const ULONGLONG healthy = Took(&run, L"root\\cimv2", L"Double_Service", 30);
    EXPECT_TRUE(run.verdict) << Narrow(run.result);
    EXPECT_LT(healthy, alone * 2 + 100);

    // The stall clears: both targets are checked again (the double now
    // answers their calls with "cancelled" at once), and the threads go back.
    EXPECT_EQ(0, WmiDoubleCancelStalls());
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.nameSpace));
        for (ULONGLONG wait = GetTickCount64(); GetTickCount64() - wait < 5000; Sleep(20)) {
            Took(&run, c.nameSpace, c.classPath, 30);
            if (run.result.find(L"has not returned") == std::wstring::npos) break;
        }
        EXPECT_EQ(0u, run.result.find(L"(-2147217358)")) << Narrow(run.result);
    }
    EXPECT_LE(ThreadsAtRest(start), start + 1);
}

// Past the bound of abandoned calls every call is refused at once with the
// time-out, naming the oldest. The bound is lowered for this through
// QVWMI_TEST_MAX_ABANDONED in a process of its own (the ctest entry
// plugin.check_against_double.cap); without it there is nothing to reach.
TEST_F(AbandonedChecks, AbandonedCallsHaveACap) {
    wchar_t bound[16];
    if (!GetEnvironmentVariableW(L"QVWMI_TEST_MAX_ABANDONED", bound, 16)) GTEST_SKIP() << "the bound is not lowered";
    const int cap = _wtoi(bound);
    ASSERT_GT(cap, 0);
    CheckRun run;
    Took(&run, L"root\\cimv2", L"Double_Service", 30);
    const int start = ProcessThreadCount();
    int refused = 0;
    for (int i = 0; i < cap + 4; ++i) {
        const std::wstring nameSpace = L"root\\stall2000000" + std::to_wstring(100 + i);
        const ULONGLONG took = Took(&run, nameSpace, L"Double_Service", 0.05);
        EXPECT_LT(took, 500u);
        EXPECT_EQ(0u, run.result.find(L"(-2147023436)")) << Narrow(run.result);
        if (run.result.find(L"calls that timed out have not returned, the oldest (to '\\\\.\\root\\stall2000000100')") !=
            std::wstring::npos)
            ++refused;
    }
    EXPECT_EQ(4, refused);
    EXPECT_LE(ProcessThreadCount(), start + cap + 2);
    EXPECT_EQ(0, WmiDoubleCancelStalls());
    EXPECT_LE(ThreadsAtRest(start), start + 1);
}

// A target's name is compared without case: a stalled \\SRV01\root\...
// holds up \\srv01\ROOT\... too.
TEST_F(AbandonedChecks, TargetsCompareWithoutCase) {
    CheckRun run =
        RunCheck(L"SRV01", NumberVariant(0.1), Parameters(L"Double_Service", L"", L"Name", L"CON", L"", L"root\\stall2000000000"));
    EXPECT_EQ(0u, run.result.find(L"(-2147023436)")) << Narrow(run.result);
    const ULONGLONG start = GetTickCount64();
    run = RunCheck(L"srv01", NumberVariant(5), Parameters(L"Double_Service", L"", L"Name", L"CON", L"", L"ROOT\\stall2000000000"));
    EXPECT_LT(GetTickCount64() - start, 500u) << "the refusal waited";
    EXPECT_EQ(0u, run.result.find(L"(-2147023436)")) << Narrow(run.result);
    EXPECT_NE(std::wstring::npos, run.result.find(L"has not returned")) << Narrow(run.result);
    EXPECT_EQ(0, WmiDoubleCancelStalls());
}

// What one host thread's check saw.
struct HostThreadCheck {
    std::wstring computer;
    int latencyMs = 0;  // the connection's delay (the double's namespace stall<ms>)
    double seconds = 20;
    HANDLE go = nullptr;  // set when every thread is ready
    CheckRun run;
    ULONGLONG tookMs = 0;
};

DWORD WINAPI CheckOnHostThread(void* parameter) {
    auto* check = static_cast<HostThreadCheck*>(parameter);
    ComApartment apartment{COINIT_APARTMENTTHREADED};
    WaitForSingleObject(check->go, INFINITE);
    const ULONGLONG start = GetTickCount64();
    check->run = RunCheck(check->computer, NumberVariant(check->seconds),
                          Parameters(L"Double_Service", L"", L"Name", L"CON", L"svc",
                                     L"root\\stall" + std::to_wstring(check->latencyMs)));
    check->tookMs = GetTickCount64() - start;
    return 0;
}

// Runs the checks, each on a host thread of its own, all at once.
void CheckAtOnce(std::vector<HostThreadCheck>* checks) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<HANDLE> threads;
    for (HostThreadCheck& check : *checks) {
        check.go = go;
        threads.push_back(CreateThread(nullptr, 0, CheckOnHostThread, &check, 0, nullptr));
        ASSERT_NE(nullptr, threads.back());
    }
    SetEvent(go);
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    CloseHandle(go);
}

void ExpectPassedAlone(const std::vector<HostThreadCheck>& checks) {
    for (const HostThreadCheck& check : checks) {
        SCOPED_TRACE(Narrow(check.computer));
        EXPECT_HR(S_OK, check.run.hr);
        EXPECT_TRUE(check.run.verdict) << Narrow(check.run.result);
        EXPECT_EQ(std::wstring::npos, check.run.result.find(L"have not returned")) << Narrow(check.run.result);
        EXPECT_LT(check.tookMs, static_cast<ULONGLONG>(check.latencyMs) + 5000u);
    }
}

// A monitoring host checks many computers at once, each from a host thread
// of its own: no check is refused or called stuck because others run, and
// each takes about its computer's time.
TEST_F(CheckAgainstDouble, ManyHostThreadsCheckAtOnce) {
    const struct {
        int threads;
        int fastestMs, slowestMs;  // the computers' answers spread over this
    } cases[] = {{8, 0, 0}, {16, 300, 1500}, {64, 300, 300}, {64, 0, 1500}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.threads) + " threads, " + std::to_string(c.fastestMs) + "-" +
                     std::to_string(c.slowestMs) + " ms");
        std::vector<HostThreadCheck> checks(c.threads);
        for (int i = 0; i < c.threads; ++i) {
            checks[i].computer = L"HOST" + std::to_wstring(i);
            checks[i].latencyMs = c.fastestMs + (c.slowestMs - c.fastestMs) * i / std::max(1, c.threads - 1);
        }
        CheckAtOnce(&checks);
        ExpectPassedAlone(checks);
    }
    // The double's calls ran at the same time: it is not serialised, and
    // its count of overlapping calls works.
    EXPECT_GT(WmiDoubleOverlaps(), 0);
}

// Computers that are down cost their own checks only: 20 of 200 never
// answer, each checked by 4 host threads at once (every one of those calls
// is abandoned), and 32 checks of the others meanwhile all pass.
TEST_F(CheckAgainstDouble, DownComputersHoldUpNoOtherComputer) {
    auto name = [](int i) { return L"FLEET" + std::to_wstring(1000 + i); };
    std::vector<HostThreadCheck> down(80), healthy(32);
    for (size_t i = 0; i < down.size(); ++i) {
        down[i].computer = name(static_cast<int>(i / 4) * 10);  // every tenth computer
        down[i].latencyMs = 2000000000;
        down[i].seconds = 0.2;
    }
    for (size_t i = 0; i < healthy.size(); ++i) healthy[i].computer = name(static_cast<int>(i) * 6 + 1);
    CheckAtOnce(&down);
    for (const HostThreadCheck& check : down)
        EXPECT_EQ(0u, check.run.result.find(L"(-2147023436)")) << Narrow(check.run.result);
    CheckAtOnce(&healthy);
    ExpectPassedAlone(healthy);
    EXPECT_EQ(0, WmiDoubleCancelStalls());
}

// What a second apartment saw of its calls on an object whose check runs.
struct NestedCallsMade {
    IStream* stream = nullptr;       // the object, marshalled
    IStream* otherStream = nullptr;  // another object of the same host thread
    HRESULT checkHr = E_FAIL, guiHr = E_FAIL, otherGuiHr = E_FAIL;
    VARIANT_BOOL verdict = VARIANT_TRUE;
    std::wstring result, guiError, otherGuiError;
};

// km_showGUI as a late-bound host calls it: the error arrives in EXCEPINFO.
HRESULT ShowGuiLateBound(_WMICom* object, std::wstring* error) {
    DISPPARAMS none = {};
    EXCEPINFO info = {};
    const HRESULT hr = object->Invoke(0x60030005, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, &info, nullptr);
    if (info.bstrDescription) *error = info.bstrDescription;
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrHelpFile);
    return hr;
}

// In a multithreaded apartment: km_docheck, km_result and km_showGUI (the
// last late-bound, as a host calls it) while the object's check waits.
DWORD WINAPI NestedCalls(void* parameter) {
    auto* out = static_cast<NestedCallsMade*>(parameter);
    ComApartment apartment;
    ComPtr<_WMICom> proxy, other;
    if (FAILED(CoGetInterfaceAndReleaseStream(out->stream, IID__WMICom, &proxy))) return 1;
    if (FAILED(CoGetInterfaceAndReleaseStream(out->otherStream, IID__WMICom, &other))) return 1;
    Sleep(300);  // inside the outer check's wait
    out->checkHr = proxy->km_docheck(&out->verdict);
    VARIANT result;
    VariantInit(&result);
    proxy->get_km_result(&result);
    if (V_VT(&result) == VT_BSTR) out->result = V_BSTR(&result);
    VariantClear(&result);
    out->guiHr = ShowGuiLateBound(proxy.Get(), &out->guiError);
    // Another object of the host's thread: its form would hold up the
    // waiting check until someone closed it.
    out->otherGuiHr = ShowGuiLateBound(other.Get(), &out->otherGuiError);
    return 0;
}

// While a check waits, a call from another apartment can be dispatched on
// the host's thread: a nested km_docheck or km_showGUI on the same object, and
// km_showGUI on any other object of that thread, are refused at once, and the
// running check goes on to its own deadline.
TEST_F(CheckAgainstDouble, NestedCallsDuringACheckAreRefused) {
    CLSID clsid;
    ASSERT_HR(S_OK, CLSIDFromProgID(L"ostrel.WMICom", &clsid));
    ComPtr<_WMICom> check, other;
    ASSERT_HR(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__WMICom, &check));
    ASSERT_HR(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__WMICom, &other));
    VARIANT host = TextVariant(L"."), parameters = TextVariant(
        Parameters(L"Double_NamesStall", L"", L"Name", L"CON", L"", L"root\\reentry"));
    check->put_km_hostname(host);
    check->put_km_timeout(NumberVariant(0.2));
    check->put_km_parameter(parameters);
    VariantClear(&host);
    VariantClear(&parameters);
    ComPtr<IStream> stream, otherStream;
    ASSERT_HR(S_OK, CoMarshalInterThreadInterfaceInStream(IID__WMICom, check.Get(), &stream));
    ASSERT_HR(S_OK, CoMarshalInterThreadInterfaceInStream(IID__WMICom, other.Get(), &otherStream));

    NestedCallsMade nested;
    nested.stream = stream.Detach();
    nested.otherStream = otherStream.Detach();
    HANDLE caller = CreateThread(nullptr, 0, NestedCalls, &nested, 0, nullptr);
    ASSERT_NE(nullptr, caller);

    const ULONGLONG start = GetTickCount64();
    VARIANT_BOOL verdict = VARIANT_TRUE;
    ASSERT_HR(S_OK, check->km_docheck(&verdict));
    const ULONGLONG took = GetTickCount64() - start;
    // The nested calls have returned by now; wait for the thread pumping.
    while (MsgWaitForMultipleObjects(1, &caller, FALSE, 5000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    CloseHandle(caller);

    EXPECT_HR(S_OK, nested.checkHr);
    EXPECT_EQ(VARIANT_FALSE, nested.verdict);
    EXPECT_EQ(L"(-2147024726)A check is already running on this object.", nested.result);
    EXPECT_HR(DISP_E_EXCEPTION, nested.guiHr);
    EXPECT_NE(std::wstring::npos, nested.guiError.find(L"a check is running on this object"))
        << Narrow(nested.guiError);
    EXPECT_HR(DISP_E_EXCEPTION, nested.otherGuiHr);
    EXPECT_NE(std::wstring::npos, nested.otherGuiError.find(L"a check is waiting on this thread"))
        << Narrow(nested.otherGuiError);
    // The outer check: its own deadline (three time-outs and a second), its own text.
    EXPECT_EQ(VARIANT_FALSE, verdict);
    EXPECT_LT(took, 1900u);
    VARIANT result;
    VariantInit(&result);
    check->get_km_result(&result);
    EXPECT_EQ(0, wcsncmp(V_BSTR(&result), L"(-2147023436)", 13)) << Narrow(V_BSTR(&result));
    VariantClear(&result);
    EXPECT_EQ(0, WmiDoubleCancelStalls());
}

// Cancels any wait of this thread's outgoing calls as soon as a message
// arrives, as a host's message filter may.
class CancellingFilter final : public IMessageFilter {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        *object = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMessageFilter) ? this : nullptr;
        return *object ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP_(DWORD) HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO) override {
        return SERVERCALL_ISHANDLED;
    }
    STDMETHODIMP_(DWORD) RetryRejectedCall(HTASK, DWORD, DWORD) override { return static_cast<DWORD>(-1); }
    STDMETHODIMP_(DWORD) MessagePending(HTASK, DWORD, DWORD) override { return PENDINGMSG_CANCELCALL; }
};

// Posts a message to the window a moment later.
DWORD WINAPI PostSoon(void* window) {
    Sleep(100);
    PostMessageW(static_cast<HWND>(window), WM_USER, 0, 0);
    return 0;
}

// A wait that a host's message filter cancels is a verdict too, never an
// error for the host. Windows ends the wait at the cancellation (the verdict
// is then false with RPC_E_CALL_CANCELED as the text); Wine notes it and
// goes on waiting, and its wait then reports the cancellation although the
// check has finished: the check's own result stands.
TEST_F(CheckAgainstDouble, AWaitThatACancellingFilterEndsIsAVerdict) {
    CancellingFilter filter;
    ComPtr<IMessageFilter> previous;
    ASSERT_HR(S_OK, CoRegisterMessageFilter(&filter, &previous));
    // A message that arrives during the wait (the query takes 0.5 s).
    HWND window = CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    HANDLE poster = CreateThread(nullptr, 0, PostSoon, window, 0, nullptr);
    CheckRun run = RunCheck(L".", NumberVariant(30), Parameters(L"Double_NextSlow_500", L"", L"Name", L"CON", L"item"));
    CoRegisterMessageFilter(previous.Get(), nullptr);
    WaitForSingleObject(poster, INFINITE);
    CloseHandle(poster);
    DestroyWindow(window);
    ASSERT_HR(S_OK, run.hr);
    if (run.result.find(L"(-2147418110)") == 0) EXPECT_FALSE(run.verdict);  // RPC_E_CALL_CANCELED
    else EXPECT_EQ(L"Name=item3 (contains item)", run.result);
}
