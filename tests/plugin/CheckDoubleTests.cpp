// The check against the WMI test double: what reaches WMI, the last matching
// instance deciding, values Wine's WMI cannot produce, and failures inside
// the walk.
#include <map>
#include <string>

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
