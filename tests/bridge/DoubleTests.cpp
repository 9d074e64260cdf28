// The bridge against the WMI test double, through the registered DLL from the
// bridge's own (multithreaded) apartment: what reaches WMI when connecting,
// the time-outs of the connection and of the query, batches, qualifiers and
// values, the password's protection, and that no path leaks an object.
#include <wbemidl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BridgeClient.h"
#include "WmiDouble.h"
#include "qvWMI_h.h"

namespace {

const HRESULT kTimedOut = static_cast<HRESULT>(0x800705B4);  // ERROR_TIMEOUT
const HRESULT kWbemFailed = static_cast<HRESULT>(WBEM_E_FAILED);

ULONGLONG Now() { return GetTickCount64(); }

// The text as the double records a string: in quotes, or (null).
std::wstring Quoted(const wchar_t* text) { return text ? L"\"" + std::wstring(text) + L"\"" : L"(null)"; }

// The lines of the double's record that record the given call.
std::vector<std::wstring> RecordLines(const std::wstring& call) {
    return WmiDoubleRecordLines(WmiDoubleRecordText(), call);
}

// The time-out that a recorded "Next timeout=<ms> count=64" line passed.
long NextTimeout(const std::wstring& line) {
    const size_t at = line.find(L"timeout=");
    return at == std::wstring::npos ? LONG_MIN : std::wcstol(line.c_str() + at + 8, nullptr, 10);
}

// Waits (at most 5 s) until the double has recorded a call containing text.
bool AwaitRecord(const wchar_t* text) {
    for (const ULONGLONG start = Now(); Now() - start < 5000; Sleep(5))
        if (WmiDoubleRecordText().find(text) != std::wstring::npos) return true;
    return false;
}

// A VARIANT as text, for comparisons: "VT=<type> <value>".
std::wstring Describe(const VARIANT& value) {
    std::wstring text = L"VT=" + std::to_wstring(V_VT(&value));
    if (V_VT(&value) & VT_ARRAY) {
        LONG low = 0, high = -1;
        SafeArrayGetLBound(V_ARRAY(&value), 1, &low);
        SafeArrayGetUBound(V_ARRAY(&value), 1, &high);
        return text + L" elements=" + std::to_wstring(high - low + 1);
    }
    VARIANT copy;
    VariantInit(&copy);
    if (V_VT(&value) != VT_NULL && V_VT(&value) != VT_EMPTY &&
        SUCCEEDED(VariantChangeType(&copy, const_cast<VARIANT*>(&value), 0, VT_BSTR)))
        text += L" " + std::wstring(V_BSTR(&copy));
    VariantClear(&copy);
    return text;
}

// Every property of a descriptor, in one line.
std::wstring Describe(IQvWMIPropertyDescriptor* d) {
    Bstr display, description;
    EQvWMIPropertyType type = QV_WMI_PROPERTY_TYPE_ILLEGAL;
    EQvWMIPropertyFlavor flavor = QV_WBEM_FLAVOR_MASK_ORIGIN;
    VARIANT_BOOL key = 7, read = 7, write = 7, required = 7;
    int maxValue = 7, maxLength = 7, minValue = 7;
    d->get_DisplayName(display.put());
    d->get_Description(description.put());
    d->get_Type(&type);
    d->get_Flavor(&flavor);
    d->get_IsKey(&key);
    d->get_IsReadable(&read);
    d->get_IsWritable(&write);
    d->get_IsRequired(&required);
    d->get_MaxValue(&maxValue);
    d->get_MaxLength(&maxLength);
    d->get_MinValue(&minValue);
    auto text = [](const Bstr& b) { return b.null() ? std::wstring(L"(null)") : L"\"" + b.str() + L"\""; };
    return L"type=" + std::to_wstring(type) + L" flavor=" + std::to_wstring(flavor) +
           L" key=" + std::to_wstring(key) + L" display=" + text(display) + L" description=" + text(description) +
           L" max=" + std::to_wstring(maxValue) + L" maxlen=" + std::to_wstring(maxLength) +
           L" min=" + std::to_wstring(minValue) + L" read=" + std::to_wstring(read) +
           L" write=" + std::to_wstring(write) + L" required=" + std::to_wstring(required);
}

// The busy blocks of every heap of the process.
struct HeapBlock {
    const BYTE* data;
    size_t size;
};
std::vector<HeapBlock> BusyHeapBlocks() {
    std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
    heaps.resize(std::min<size_t>(GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()), heaps.size()));
    std::vector<HeapBlock> blocks;
    blocks.reserve(1 << 20);  // no allocation while a heap is locked and walked
    for (HANDLE heap : heaps) {
        if (!HeapLock(heap)) continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (blocks.size() < blocks.capacity() && HeapWalk(heap, &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                blocks.push_back({static_cast<const BYTE*>(entry.lpData), entry.cbData});
        HeapUnlock(heap);
    }
    std::sort(blocks.begin(), blocks.end(), [](const HeapBlock& a, const HeapBlock& b) { return a.data < b.data; });
    return blocks;
}

// The busy block that holds address, if any.
const HeapBlock* BlockHolding(const std::vector<HeapBlock>& blocks, const void* address) {
    const BYTE* at = static_cast<const BYTE*>(address);
    auto after = std::upper_bound(blocks.begin(), blocks.end(), at,
                                  [](const BYTE* a, const HeapBlock& b) { return a < b.data; });
    if (after == blocks.begin()) return nullptr;
    const HeapBlock& block = *(after - 1);
    return at < block.data + block.size ? &block : nullptr;
}

// Takes the text as it is, without a copy on the heap that a search could find.
bool HoldsText(const HeapBlock& block, const wchar_t* text) {
    const BYTE* pattern = reinterpret_cast<const BYTE*>(text);
    const BYTE* end = block.data + block.size;
    return std::search(block.data, end, pattern, pattern + wcslen(text) * sizeof(wchar_t)) != end;
}

// Whether text (UTF-16) is in live memory of, or near, the object at address:
// every busy heap block within 2 KiB of it (its own block included), and
// every busy block that a pointer inside the object refers to, where its
// fields keep their strings and arrays. Freed blocks are not searched (they
// hold discarded copies, the test's among them), nor the double's record,
// which keeps every blanket it was given.
bool ObjectHoldsText(const void* address, const wchar_t* text) {
    const std::vector<HeapBlock> blocks = BusyHeapBlocks();
    const HeapBlock* own = BlockHolding(blocks, address);
    EXPECT_TRUE(own) << "the object lies in no heap block";
    if (!own) return false;
    auto holds = [text](const HeapBlock& block) {
        return HoldsText(block, text) && !HoldsText(block, L" authn=10 authz=0 ");
    };
    const BYTE* at = static_cast<const BYTE*>(address);
    for (const HeapBlock& block : blocks)
        if (block.data < at + 2048 && block.data + block.size > at - 2048 && holds(block)) return true;
    for (size_t offset = 0; offset + sizeof(void*) <= own->size; offset += sizeof(void*)) {
        const void* pointer;
        std::memcpy(&pointer, own->data + offset, sizeof pointer);
        const HeapBlock* field = BlockHolding(blocks, pointer);
        if (field && holds(*field)) return true;
    }
    return false;
}

class AgainstDouble : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HR(S_OK, apartment_.result());
        WmiDoubleReset();
        ASSERT_HR(S_OK, CoCreateInstance(CLSID_QvWMIAccess, nullptr, CLSCTX_INPROC_SERVER, IID_IQvWMIAccess,
                                         &access_));
        access_->put_AuthenticationLevel(QV_WMI_AUTHENTICATION_LEVEL_PKT_PRIVACY);
        access_->put_ImpersonationLevel(QV_WMI_IMPERSONATION_LEVEL_IMPERSONATE);
        ASSERT_HR(S_OK, access_->Initialize());
        SetErrorInfo(0, nullptr);
    }
    // Every test ends with no object of the bridge or of the double alive.
    void TearDown() override {
        access_.Reset();
        WmiDoubleCancelStalls();  // a test that failed half-way may leave a worker stalled
        EXPECT_HR(S_OK, BridgeCanUnload(5000)) << "an object of the bridge leaked";
        EXPECT_EQ(0, WmiDoubleLiveObjects()) << "a WMI object was not released";
    }

    ComPtr<IQvWMIServer> ConnectLocal() {
        ComPtr<IQvWMIServer> server;
        EXPECT_HR(S_OK, Connect(access_.Get(), ConnectArgs{}, &server));
        return server;
    }
    ComPtr<IQvWMIClass> GetClass(IQvWMIServer* server, const wchar_t* name) {
        ComPtr<IQvWMIClass> cls;
        Bstr path(name);
        if (server) {
            EXPECT_HR(S_OK, server->GetClass(path.get(), &cls)) << Narrow(name);
        }
        return cls;
    }
    ComPtr<IQvWMIClass> GetClass(const wchar_t* name) { return GetClass(ConnectLocal().Get(), name); }

    ComApartment apartment_;
    ComPtr<IQvWMIAccess> access_;
};

TEST_F(AgainstDouble, WhatReachesConnectServer) {
    // An authority reaches the worker only with a user name; on the calling
    // thread (time-out -1) whenever there is a domain.
    const struct Case {
        const char* name;
        const wchar_t *server, *nameSpace, *domain, *user, *password, *locale;
        bool direct;  // time-out -1, else the access object's
        const wchar_t *path, *expectUser, *authority, *blanketDomain;
    } cases[] = {
        {"remote, no user", L"SRV01", nullptr, nullptr, nullptr, nullptr, nullptr, false,
         L"\\\\SRV01\\root\\cimv2", nullptr, nullptr, nullptr},
        {"remote, no user, direct", L"SRV01", nullptr, nullptr, nullptr, nullptr, nullptr, true,
         L"\\\\SRV01\\root\\cimv2", nullptr, L"ntlmdomain:SRV01", nullptr},
        {"remote with user", L"SRV01", nullptr, nullptr, L"admin", L"s3cret", L"MS_409", false,
         L"\\\\SRV01\\root\\cimv2", L"admin", L"ntlmdomain:SRV01", L"SRV01"},
        // A user's domain prefix is kept on every computer.
        {"remote, the user's domain, direct", L"\\\\SRV01\\", nullptr, nullptr, L"CORP\\monitor", L"s3cret", nullptr,
         true, L"\\\\SRV01\\root\\cimv2", L"monitor", L"ntlmdomain:CORP", L"CORP"},
        {"address, no user", L"127.0.0.1", nullptr, nullptr, nullptr, nullptr, nullptr, false,
         L"\\\\127.0.0.1\\root\\cimv2", nullptr, nullptr, nullptr},
        {"address, no user, direct", L"127.0.0.1", nullptr, nullptr, nullptr, nullptr, nullptr, true,
         L"\\\\127.0.0.1\\root\\cimv2", nullptr, L"ntlmdomain:127.0.0.1", nullptr},
        {"address with user, empty password", L"127.0.0.1", nullptr, nullptr, L"admin", L"", nullptr, false,
         L"\\\\127.0.0.1\\root\\cimv2", L"admin", L"ntlmdomain:127.0.0.1", L"127.0.0.1"},
        {"local, user's domain", nullptr, nullptr, nullptr, L"CORP\\admin", L"pw", nullptr, false,
         L"\\\\.\\root\\cimv2", L"admin", L"ntlmdomain:CORP", L"CORP"},
        {"local, user's domain after a slash", nullptr, nullptr, nullptr, L"CORP/admin", nullptr, nullptr, true,
         L"\\\\.\\root\\cimv2", L"admin", L"ntlmdomain:CORP", L"CORP"},
        {"local, leading backslash is no domain", nullptr, nullptr, nullptr, L"\\admin", nullptr, nullptr, false,
         L"\\\\.\\root\\cimv2", L"\\admin", nullptr, nullptr},
        {"local, separator last", nullptr, nullptr, nullptr, L"CORP\\", nullptr, nullptr, false,
         L"\\\\.\\root\\cimv2", L"", L"ntlmdomain:CORP", L"CORP"},
        {"local, no user, direct", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, true,
         L"\\\\.\\root\\cimv2", nullptr, nullptr, nullptr},
        {"domain argument, no user", nullptr, nullptr, L"DOM", nullptr, nullptr, nullptr, false,
         L"\\\\.\\root\\cimv2", nullptr, nullptr, nullptr},
        {"domain argument, no user, direct", nullptr, nullptr, L"DOM", nullptr, nullptr, nullptr, true,
         L"\\\\.\\root\\cimv2", nullptr, L"ntlmdomain:DOM", nullptr},
        {"domain argument wins over the user's", L"SRV01", nullptr, L"DOM", L"CORP\\admin", nullptr, nullptr,
         false, L"\\\\SRV01\\root\\cimv2", L"admin", L"ntlmdomain:DOM", L"DOM"},
        {"user principal name: no authority", L"SRV01", nullptr, nullptr, L"monitor@corp.example", L"pw", nullptr,
         false, L"\\\\SRV01\\root\\cimv2", L"monitor@corp.example", nullptr, nullptr},
        {"user principal name, direct", L"SRV01", nullptr, nullptr, L"monitor@corp.example", L"pw", nullptr, true,
         L"\\\\SRV01\\root\\cimv2", L"monitor@corp.example", nullptr, nullptr},
        {"namespace from the root", L"SRV01", L"root\\cimv2", nullptr, nullptr, nullptr, nullptr, false,
         L"\\\\SRV01\\root\\cimv2", nullptr, nullptr, nullptr},
        {"namespace from the root with a slash", L"SRV01", L"root/cimv2", nullptr, nullptr, nullptr, nullptr,
         false, L"\\\\SRV01\\root\\cimv2", nullptr, nullptr, nullptr},
        {"namespace below the root", L"SRV01", L"cimv2", nullptr, nullptr, nullptr, nullptr, false,
         L"\\\\SRV01\\root\\cimv2", nullptr, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WmiDoubleReset();
        ConnectArgs args{TextOrMissing(c.server),   TextOrMissing(c.nameSpace), TextOrMissing(c.domain),
                         TextOrMissing(c.user),     TextOrMissing(c.password),  TextOrMissing(c.locale),
                         c.direct ? Arg::Number(-1) : Arg()};
        ComPtr<IQvWMIServer> server;
        // WMI refuses credentials for the local computer: what reached it
        // is all there is to see.
        const bool local = !c.server || wcscmp(c.server, L"127.0.0.1") == 0;
        const bool refused = local && c.expectUser && *c.expectUser;
        ASSERT_HR(refused ? static_cast<HRESULT>(WBEM_E_LOCAL_CREDENTIALS) : S_OK, Connect(access_.Get(), args, &server));
        // The blanket carries the user's domain and an empty password when none is known.
        const std::wstring identity =
            c.expectUser ? L" user=" + Quoted(c.expectUser) + L" domain=" +
                               Quoted(c.blanketDomain ? c.blanketDomain : L"") + L" password=" +
                               Quoted(c.password ? c.password : L"") + L" flags=2"
                         : std::wstring(L" identity=(null)");
        EXPECT_EQ(L"ConnectServer path=" + Quoted(c.path) + L" user=" + Quoted(c.expectUser) +
                      L" password=" + Quoted(c.password) + L" locale=" + Quoted(c.locale) +
                      L" flags=0x0 authority=" + Quoted(c.authority) + L" context=no\n" +
                      (refused ? L"" : L"SetBlanket on=services authn=10 authz=0 principal=(null) level=6 "
                                       L"impersonation=3 capabilities=0x0" + identity + L"\n"),
                  WmiDoubleRecordText());
    }
}

TEST_F(AgainstDouble, ArgumentsByReferenceAreJudgedByTheirValue) {
    Arg server(L"SRV01"), user(L"admin"), password(L"pw"), timeout = Arg::Number(-1);
    ConnectArgs args;
    args.server = Arg::RefTo(server, true);
    args.user = Arg::RefTo(user, false);
    args.password = Arg::RefTo(password, true);
    args.timeout = Arg::RefTo(timeout, false);
    ComPtr<IQvWMIServer> connected;
    ASSERT_HR(S_OK, Connect(access_.Get(), args, &connected));
    EXPECT_EQ(std::vector<std::wstring>{L"ConnectServer path=\"\\\\SRV01\\root\\cimv2\" user=\"admin\" "
                                        L"password=\"pw\" locale=(null) flags=0x0 "
                                        L"authority=\"ntlmdomain:SRV01\" context=no"},
              RecordLines(L"ConnectServer"))
        << "the authority shows the time-out -1 was read through its reference";

    ComPtr<IQvWMIClass> cls = GetClass(connected.Get(), L"Double_Service");
    ASSERT_TRUE(cls);
    Arg filter(L"State = 'Running'");
    for (bool toVariant : {true, false}) {
        WmiDoubleReset();
        ComPtr<IQvWMIInstanceCollection> instances;
        EXPECT_HR(S_OK, cls->get_Instances(Arg::RefTo(filter, toVariant), &instances));
        EXPECT_EQ(std::vector<std::wstring>{L"ExecQuery language=\"WQL\" query=\"SELECT * FROM Double_Service "
                                            L"WHERE State = 'Running'\" flags=0x30 context=no"},
                  RecordLines(L"ExecQuery"));
    }
}

// Against a remote computer of a domain (APP01 of CORP), with a domain
// account: every proxy (services, call result, enumerator) and each one's
// IUnknown carries the connection's credentials, so that no call and no
// release runs under the process's own identity.
TEST_F(AgainstDouble, ACheckReachesWmiInThisOrder) {
    ConnectArgs args;
    args.server = Arg(L"APP01");
    args.domain = Arg(L"CORP");
    args.user = Arg(L"monitor");
    args.password = Arg(L"M0nitor!");
    ComPtr<IQvWMIServer> server;
    ASSERT_HR(S_OK, Connect(access_.Get(), args, &server));
    ComPtr<IQvWMIClass> cls = GetClass(server.Get(), L"Double_Service");
    ASSERT_TRUE(cls);
    ComPtr<IQvWMIInstanceCollection> instances;
    ASSERT_HR(S_OK, cls->get_Instances(Arg(L"State = 'Running'"), &instances));

    const std::wstring blanket = L" authn=10 authz=0 principal=(null) level=6 impersonation=3 capabilities=0x0 "
                                 L"user=\"monitor\" domain=\"CORP\" password=\"M0nitor!\" flags=2 connection=1\n";
    std::wstring record = WmiDoubleRecordText();
    const size_t next = record.rfind(L"Next timeout=");
    ASSERT_NE(std::wstring::npos, next) << Narrow(record);
    const long wait = NextTimeout(record.substr(next));
    EXPECT_TRUE(wait > 100000 && wait <= 120000) << wait << ": what is left of the access object's two minutes";
    record.erase(next);
    EXPECT_EQ(L"ConnectServer path=\"\\\\APP01\\root\\cimv2\" user=\"monitor\" password=\"M0nitor!\" locale=(null) "
              L"flags=0x0 authority=\"ntlmdomain:CORP\" context=no\n"
              L"Activation connection=1 authn=10 level=5 account=CORP\\monitor\n"
              L"SetBlanket on=services" + blanket + L"SetBlanket on=services/IUnknown" + blanket +
                  L"GetObject path=\"Double_Service\" flags=0x10 context=no object=no callresult=yes\n"
                  L"SetBlanket on=callresult" + blanket + L"SetBlanket on=callresult/IUnknown" + blanket +
                  L"GetResultObject timeout=120000\n"
                  L"ExecQuery language=\"WQL\" query=\"SELECT * FROM Double_Service WHERE State = 'Running'\" "
                  L"flags=0x30 context=no\n"
                  L"SetBlanket on=enumerator" + blanket + L"SetBlanket on=enumerator/IUnknown" + blanket,
              record);
    // Every release went through an IUnknown with the credentials: none lagged.
    instances.Reset();
    cls.Reset();
    server.Reset();
    EXPECT_TRUE(RecordLines(L"Release").empty()) << Narrow(WmiDoubleRecordText());
    EXPECT_TRUE(RecordLines(L"Denied").empty()) << Narrow(WmiDoubleRecordText());
}

TEST_F(AgainstDouble, ConnectFailuresComeBackBare) {
    const struct {
        const wchar_t* server;
        const wchar_t* nameSpace;
        HRESULT expected;
    } cases[] = {
        {L"DOWN", nullptr, static_cast<HRESULT>(0x800706BA)},  // RPC server unavailable
        {L"SRV01", L"refuse", static_cast<HRESULT>(WBEM_E_INVALID_NAMESPACE)},
        {nullptr, nullptr, static_cast<HRESULT>(WBEM_E_LOCAL_CREDENTIALS)},
    };
    for (const auto& c : cases) {
        for (long timeout : {-1L, 30000L}) {
            SCOPED_TRACE(testing::Message() << Hex(c.expected) << " time-out " << timeout);
            ConnectArgs args;
            args.server = TextOrMissing(c.server);
            args.nameSpace = TextOrMissing(c.nameSpace);
            args.user = Arg(L"admin");
            args.password = Arg(L"pw");
            args.timeout = Arg::Number(timeout);
            ReportStale();
            ComPtr<IQvWMIServer> server;
            EXPECT_HR(c.expected, Connect(access_.Get(), args, &server));
            EXPECT_EQ(nullptr, server.Get());
            EXPECT_FALSE(TakeErrorInfo().present) << "a bare failure leaves no (stale) description";
        }
    }
}

TEST_F(AgainstDouble, AStalledConnectionTimesOutAndItsWorkerCleansUpAfterIt) {
    const struct {
        const char* name;
        const wchar_t* nameSpace;
        ULONGLONG stallMs;
        long timeout;
        bool endsOnItsOwn;  // else the stall is cancelled, and ConnectServer fails
        size_t connects;    // ConnectServer calls made: none once the time is up
    } cases[] = {
        {"stall of 10 s, time-out 300 ms", L"stall10000", 10000, 300, false, 1},
        {"connects 1.5 s later", L"stall1500", 1500, 300, true, 1},
        {"time-out 0 does not connect", L"stall1000", 1000, 0, true, 0},
    };
    access_.Reset();  // every reference to the bridge is the test's own
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WmiDoubleReset();
        {
            ComPtr<IQvWMIAccess> access;
            ASSERT_HR(S_OK, CoCreateInstance(CLSID_QvWMIAccess, nullptr, CLSCTX_INPROC_SERVER, IID_IQvWMIAccess,
                                             &access));
            ASSERT_HR(S_OK, access->Initialize());
            ConnectArgs args;
            args.nameSpace = Arg(c.nameSpace);
            args.timeout = Arg::Number(c.timeout);
            ReportStale();
            ComPtr<IQvWMIServer> server;
            const ULONGLONG start = Now();
            EXPECT_HR(kTimedOut, Connect(access.Get(), args, &server));
            EXPECT_LT(Now() - start, c.stallMs) << "before the stall ends";
            EXPECT_EQ(nullptr, server.Get());
            EXPECT_FALSE(TakeErrorInfo().present);
        }
        if (c.connects) {
            EXPECT_HR(S_FALSE, BridgeCanUnload(0)) << "the abandoned worker keeps the bridge loaded";
        }
        if (!c.endsOnItsOwn) {
            EXPECT_EQ(0, WmiDoubleCancelStalls());
        }
        EXPECT_HR(S_OK, BridgeCanUnload(10000)) << "the worker has ended";
        EXPECT_EQ(0, WmiDoubleLiveObjects()) << "what the worker obtained was released";
        EXPECT_EQ(c.connects, RecordLines(L"ConnectServer").size());
        EXPECT_TRUE(RecordLines(L"SetBlanket").empty()) << "no server object was made";
    }
}

// A computer that never answers costs its first call the time-out; every
// later call to it fails at once with the same answer, ERROR_TIMEOUT, and
// says which call has not returned for how long. Only -1 still waits.
TEST_F(AgainstDouble, ConnectionsToAComputerThatNeverAnswersTimeOutAtOnceAfterTheFirst) {
    access_->put_Timeout(250);
    const long kAccessTimeout = LONG_MIN;  // the argument left out
    auto connect = [&](long timeout) {
        ConnectArgs args;
        args.server = Arg(L"SRV01");
        args.nameSpace = Arg(L"stall2000000000");
        if (timeout != kAccessTimeout) args.timeout = Arg::Number(timeout);
        ComPtr<IQvWMIServer> server;
        const ULONGLONG start = Now();
        EXPECT_HR(kTimedOut, Connect(access_.Get(), args, &server));
        return Now() - start;
    };
    EXPECT_GE(connect(kAccessTimeout), 240u);
    EXPECT_FALSE(TakeErrorInfo().present) << "a time-out comes back bare";
    const struct {
        const char* name;
        long timeout;
    } later[] = {{"the access object's time-out", kAccessTimeout}, {"a time-out of its own", 5000},
                 {"a time-out of 0", 0}};
    for (int round = 0; round < 3; ++round) {
        for (const auto& c : later) {
            SCOPED_TRACE(c.name);
            EXPECT_LT(connect(c.timeout), 100u) << "a refusal waited";
            const ErrorRecord error = TakeErrorInfo();
            EXPECT_NE(std::wstring::npos,
                      error.description.find(L"A call to '\\\\SRV01\\root\\stall2000000000' has not returned for"))
                << Narrow(error.description);
        }
    }
    // Another computer is not held up.
    ComPtr<IQvWMIServer> other;
    ConnectArgs another;
    another.server = Arg(L"SRV02");
    EXPECT_HR(S_OK, Connect(access_.Get(), another, &other));
    const std::vector<std::wstring> connects = RecordLines(L"ConnectServer");
    EXPECT_EQ(1, std::count_if(connects.begin(), connects.end(), [](const std::wstring& line) {
                  return line.find(L"\\\\SRV01\\") != std::wstring::npos;
              })) << "refusals never reach WMI";
    EXPECT_EQ(0, WmiDoubleCancelStalls());
}

TEST_F(AgainstDouble, TimeoutMinusOneConnectsOnTheCallingThread) {
    for (long timeout : {-1L, 30000L}) {
        SCOPED_TRACE(timeout);
        WmiDoubleReset();
        ConnectArgs args;
        args.timeout = Arg::Number(timeout);
        ComPtr<IQvWMIServer> server;
        ASSERT_HR(S_OK, Connect(access_.Get(), args, &server));
        EXPECT_EQ(timeout == -1, WmiDoubleConnectThread() == GetCurrentThreadId()) << "a worker connects only with a limit";
    }
}

TEST_F(AgainstDouble, GetClassWaitsForTheCallResultWithinTheTimeout) {
    const struct {
        const wchar_t* className;
        long timeout;
        HRESULT expected;
        bool callResult;  // whether GetResultObject was reached
    } cases[] = {
        {L"Double_GetSlow_100", -1, S_OK, true},
        {L"Double_GetResult_40004", 120000, kTimedOut, true},
        {L"Double_GetStall", 300, kTimedOut, true},
        // A success code without a class is no success, nor a Win32 code.
        {L"Double_GetResult_40005", 120000, kWbemFailed, true},
        {L"Double_GetResult_80041001", 120000, kWbemFailed, true},
        {L"No_Such_Class", 120000, static_cast<HRESULT>(WBEM_E_NOT_FOUND), false},
    };
    ComPtr<IQvWMIServer> server = ConnectLocal();
    ASSERT_TRUE(server);
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.className));
        WmiDoubleReset();
        access_->put_Timeout(c.timeout);
        Bstr path(c.className);
        ComPtr<IQvWMIClass> cls;
        EXPECT_HR(c.expected, server->GetClass(path.get(), &cls));
        EXPECT_EQ(SUCCEEDED(c.expected), cls != nullptr);
        EXPECT_EQ(c.callResult ? std::vector<std::wstring>{L"GetResultObject timeout=" + std::to_wstring(c.timeout)}
                               : std::vector<std::wstring>{},
                  RecordLines(L"GetResultObject"));
        const ErrorRecord info = TakeErrorInfo();
        if (SUCCEEDED(c.expected)) continue;
        EXPECT_EQ(BaseText(c.expected) +
                      L" (ACTION: Server::GetClass) (CONTEXT: Failed to retrieve WMI object for the specified path '" +
                      c.className + L"'.)",
                  info.description);
    }
}

TEST_F(AgainstDouble, InstancesArePulledInBatchesWithinTheTimeout) {
    const long kDefault = 120000;
    const struct {
        const wchar_t* className;
        long timeout;
        HRESULT expected;
        long count;
        size_t nextCalls;
    } cases[] = {
        {L"Double_Item64", kDefault, S_OK, 64, 2},
        {L"Double_Empty", kDefault, S_OK, 0, 1},
        {L"Bulk_130", -1, S_OK, 130, 3},
        {L"Double_Item64", 0, kTimedOut, 0, 0},
        {L"Double_Item64", -5, kTimedOut, 0, 0},
        {L"Double_NextTimedOut", kDefault, kTimedOut, 0, 1},
        {L"Double_NextStall", 300, kTimedOut, 0, 1},
        {L"Double_NextFails", kDefault, kWbemFailed, 0, 2},
    };
    ComPtr<IQvWMIServer> server = ConnectLocal();
    ASSERT_TRUE(server);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << Narrow(c.className) << " time-out " << c.timeout);
        access_->put_Timeout(kDefault);
        ComPtr<IQvWMIClass> cls = GetClass(server.Get(), c.className);
        ASSERT_TRUE(cls);
        access_->put_Timeout(c.timeout);
        WmiDoubleReset();
        ComPtr<IQvWMIInstanceCollection> instances;
        EXPECT_HR(c.expected, cls->get_Instances(MissingArgument(), &instances));
        const std::vector<std::wstring> next = RecordLines(L"Next");
        EXPECT_EQ(c.nextCalls, next.size());
        for (const std::wstring& line : next) {
            const long wait = NextTimeout(line);
            EXPECT_TRUE(c.timeout == -1 ? wait == -1 : wait > 0 && wait <= c.timeout) << Narrow(line);
        }
        const ErrorRecord info = TakeErrorInfo();
        if (FAILED(c.expected)) {
            EXPECT_EQ(nullptr, instances.Get());
            EXPECT_EQ(BaseText(c.expected) +
                          L" (ACTION: Class::get_Instances) (CONTEXT: Failed to query instances for the object "
                          L"with path '" + c.className + L"'.)",
                      info.description);
            continue;
        }
        long count = -1;
        ASSERT_TRUE(instances);
        EXPECT_HR(S_OK, instances->get_Count(&count));
        EXPECT_EQ(c.count, count);
    }
}

TEST_F(AgainstDouble, PropertyDescriptorsCarryTheQualifiers) {
    ComPtr<IQvWMIClass> cls = GetClass(L"Double_Service");
    ASSERT_TRUE(cls);
    ComPtr<IQvWMIPropertyCollection> properties;
    ASSERT_HR(S_OK, cls->get_Properties(&properties));
    long count = 0;
    EXPECT_HR(S_OK, properties->get_Count(&count));
    EXPECT_EQ(12, count) << "five system properties and seven of the class";
    const struct {
        const wchar_t* name;
        const wchar_t* expected;
    } cases[] = {
        {L"__GENUS", L"type=3 flavor=64 key=0 display=(null) description=(null) max=0 maxlen=0 min=0 read=0 "
                     L"write=0 required=0"},
        {L"__PATH", L"type=8 flavor=64 key=0 display=(null) description=(null) max=0 maxlen=0 min=0 read=0 "
                    L"write=0 required=0"},
        {L"Name", L"type=8 flavor=0 key=-1 display=\"Service name\" description=\"Unique name of the service\" "
                  L"max=0 maxlen=255 min=0 read=-1 write=0 required=-1"},
        {L"State", L"type=8 flavor=0 key=0 display=\"State\" description=(null) max=0 maxlen=0 min=0 read=-1 "
                   L"write=-1 required=0"},
        {L"ProcessId", L"type=19 flavor=0 key=0 display=(null) description=(null) max=65535 maxlen=0 min=1 "
                       L"read=-1 write=0 required=0"},
        {L"Caption", L"type=8 flavor=0 key=0 display=(null) description=(null) max=0 maxlen=0 min=0 read=0 "
                     L"write=0 required=0"},
        {L"Dependencies", L"type=8200 flavor=0 key=0 display=(null) description=(null) max=0 maxlen=0 min=0 "
                          L"read=0 write=0 required=0"},
        // Limits that do not fit in 32 bits, as a string and as VT_I8, leave 0.
        {L"Capacity", L"type=21 flavor=0 key=0 display=(null) description=(null) max=0 maxlen=0 min=0 read=0 "
                      L"write=0 required=0"},
        {L"Offset", L"type=20 flavor=0 key=0 display=(null) description=(null) max=0 maxlen=0 min=0 read=0 "
                    L"write=0 required=0"},
    };
    for (const auto& c : cases) {
        Bstr name(c.name);
        ComPtr<IQvWMIPropertyDescriptor> descriptor;
        ASSERT_HR(S_OK, properties->get_Item(name.get(), &descriptor)) << Narrow(c.name);
        EXPECT_EQ(c.expected, Describe(descriptor.Get())) << Narrow(c.name);
    }
}

TEST_F(AgainstDouble, KeyPropertiesListOnlyTheKeyOnce) {
    ComPtr<IQvWMIClass> cls = GetClass(L"Double_Service");
    ASSERT_TRUE(cls);
    ComPtr<IQvWMIPropertyCollection> keys, again;
    ASSERT_HR(S_OK, cls->get_KeyProperties(&keys));
    ASSERT_HR(S_OK, cls->get_KeyProperties(&again));
    EXPECT_EQ(keys.Get(), again.Get()) << "the list is built once";
    long count = 0;
    EXPECT_HR(S_OK, keys->get_Count(&count));
    ASSERT_EQ(1, count);
    ComPtr<IQvWMIPropertyDescriptor> key;
    ASSERT_HR(S_OK, keys->GetAt(0, &key));
    Bstr name;
    EXPECT_HR(S_OK, key->get_Name(name.put()));
    EXPECT_EQ(L"Name", name.str());
    VARIANT_BOOL isKey = VARIANT_FALSE;
    EXPECT_HR(S_OK, key->get_IsKey(&isKey));
    EXPECT_EQ(VARIANT_TRUE, isKey);

    ComPtr<IQvWMIClass> keyless = GetClass(L"Bulk_5");
    ASSERT_TRUE(keyless);
    ComPtr<IQvWMIPropertyCollection> none;
    ASSERT_HR(S_OK, keyless->get_KeyProperties(&none));
    EXPECT_HR(S_OK, none->get_Count(&count));
    EXPECT_EQ(0, count);
}

TEST_F(AgainstDouble, ValuesComeAsWmiGaveThem) {
    ComPtr<IQvWMIClass> cls = GetClass(L"Double_Service");
    ASSERT_TRUE(cls);
    ComPtr<IQvWMIInstanceCollection> instances;
    ASSERT_HR(S_OK, cls->get_Instances(MissingArgument(), &instances));
    ComPtr<IQvWMIInstance> first;
    ASSERT_HR(S_OK, instances->get_Item(0, &first));

    // Position in WMI's order of names, and the value as text.
    const struct {
        const wchar_t* name;
        long position;
        const wchar_t* expected;
    } cases[] = {
        {L"__CLASS", 1, L"VT=8 Double_Service"},
        {L"Name", 5, L"VT=8 svc1"},
        {L"ProcessId", 7, L"VT=3 104"},
        {L"Caption", 8, L"VT=1"},
        {L"Dependencies", 9, L"VT=8200 elements=2"},
        {L"Capacity", 10, L"VT=8 5000000000"},
        {L"Offset", 11, L"VT=8 -5000000000"},
    };
    std::vector<std::wstring> enumerated;
    {
        ComPtr<IUnknown> unknown;
        ASSERT_HR(S_OK, first->get__NewEnum(&unknown));
        ComPtr<IEnumVARIANT> values;
        ASSERT_HR(S_OK, unknown.As(&values));
        VARIANT value;
        VariantInit(&value);
        while (values->Next(1, &value, nullptr) == S_OK) {
            enumerated.push_back(Describe(value));
            VariantClear(&value);
        }
    }
    long count = 0;
    EXPECT_HR(S_OK, first->get_Count(&count));
    EXPECT_EQ(12, count);
    ASSERT_EQ(12u, enumerated.size());
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        Bstr name(c.name);
        VARIANT byName, byPosition;
        VariantInit(&byName);
        VariantInit(&byPosition);
        EXPECT_HR(S_OK, first->get_Field(name.get(), &byName));
        EXPECT_HR(S_OK, first->GetAt(c.position, &byPosition));
        EXPECT_EQ(c.expected, Describe(byName));
        EXPECT_EQ(c.expected, Describe(byPosition));
        EXPECT_EQ(c.expected, enumerated[static_cast<size_t>(c.position)]);
        VariantClear(&byName);
        VariantClear(&byPosition);
    }
}

TEST_F(AgainstDouble, AnObjectWhoseInstanceCannotBeBuiltIsSkipped) {
    ComPtr<IQvWMIClass> cls = GetClass(L"Double_BadInstance");
    ASSERT_TRUE(cls);
    ComPtr<IQvWMIInstanceCollection> instances;
    ASSERT_HR(S_OK, cls->get_Instances(MissingArgument(), &instances));
    EXPECT_FALSE(TakeErrorInfo().present) << "the skipped object's report is not the call's";
    long count = 0;
    EXPECT_HR(S_OK, instances->get_Count(&count));
    ASSERT_EQ(2, count);
    Bstr name(L"Name");
    for (long i = 0; i < count; ++i) {
        ComPtr<IQvWMIInstance> instance;
        ASSERT_HR(S_OK, instances->get_Item(i, &instance));
        VARIANT value;
        VariantInit(&value);
        EXPECT_HR(S_OK, instance->get_Field(name.get(), &value));
        EXPECT_EQ(i == 0 ? L"VT=8 svc1" : L"VT=8 svc3", Describe(value));
        VariantClear(&value);
    }
}

TEST_F(AgainstDouble, ThePasswordIsNeverHeldInClear) {
    // The test keeps its own copy of the password off the heap until the search is done.
    static const wchar_t kPassword[] = L"Pw_Zx93!clear";
    const std::wstring user = L"QvUser_Kq7";
    for (long timeout : {-1L, 30000L}) {
        SCOPED_TRACE(timeout);
        WmiDoubleReset();
        ComPtr<IQvWMIServer> server;
        {
            ConnectArgs args;
            args.server = Arg(L"SRV01");  // the local computer refuses credentials
            args.user = Arg(user.c_str());
            args.password = Arg(kPassword);
            args.timeout = Arg::Number(timeout);
            ASSERT_HR(S_OK, Connect(access_.Get(), args, &server));
            args.password.Wipe();
        }
        ComPtr<IQvWMIClass> cls = GetClass(server.Get(), L"Double_Service");
        ASSERT_TRUE(cls) << "GetClass unprotects the password for the call result's blanket";
        // The interface pointer is that of the object's first base: its address.
        EXPECT_TRUE(ObjectHoldsText(server.Get(), user.c_str())) << "the search reaches the object's fields";
        EXPECT_FALSE(ObjectHoldsText(server.Get(), kPassword));

        const std::wstring identity =
            L"user=\"" + user + L"\" domain=\"SRV01\" password=\"" + kPassword + L"\" flags=2";
        const std::vector<std::wstring> blankets = RecordLines(L"SetBlanket");
        ASSERT_EQ(2u, blankets.size());
        for (const std::wstring& line : blankets)
            EXPECT_NE(std::wstring::npos, line.find(identity)) << Narrow(line);
    }
}

TEST_F(AgainstDouble, AHundredThousandInstancesComeBackComplete) {
    ComPtr<IQvWMIClass> cls = GetClass(L"Bulk_100000");
    ASSERT_TRUE(cls);
    ComPtr<IQvWMIInstanceCollection> instances;
    ASSERT_HR(S_OK, cls->get_Instances(MissingArgument(), &instances));
    long count = 0;
    EXPECT_HR(S_OK, instances->get_Count(&count));
    EXPECT_EQ(100000, count);
    const struct {
        long index;
        const wchar_t* property;
        const wchar_t* expected;
    } cases[] = {
        {0, L"P01", L"VT=8 v1.1"},
        {6, L"P20", L"VT=8 v7.20"},
        {64, L"P10", L"VT=8 v65.10"},
        {99999, L"P20", L"VT=8 v100000.20"},
    };
    for (const auto& c : cases) {
        ComPtr<IQvWMIInstance> instance;
        ASSERT_HR(S_OK, instances->get_Item(c.index, &instance));
        Bstr name(c.property);
        VARIANT value;
        VariantInit(&value);
        EXPECT_HR(S_OK, instance->get_Field(name.get(), &value));
        EXPECT_EQ(c.expected, Describe(value)) << c.index;
        VariantClear(&value);
    }
}

// Input that WMI would misread is refused before it gets there, and
// failures that have no description of their own leave none behind.
TEST_F(AgainstDouble, BadInputIsRefusedBeforeWmiSeesIt) {
    using namespace std::string_literals;
    ComPtr<IQvWMIServer> server = ConnectLocal();
    ComPtr<IQvWMIClass> cls = GetClass(server.Get(), L"Double_Service");
    ASSERT_TRUE(cls);
    const struct {
        const char* name;
        std::function<HRESULT()> call;
        HRESULT expected;
        const wchar_t* context;  // the CONTEXT text, or null for a bare failure
    } cases[] = {
        {"NUL inside the server", [&] {
             ConnectArgs args;
             args.server = Arg(L"SRV01\0junk"s);
             ComPtr<IQvWMIServer> s;
             return Connect(access_.Get(), args, &s);
         }, E_INVALIDARG, L"Invalid argument('bstrServer') specified."},
        {"NUL inside the password", [&] {
             ConnectArgs args;
             args.user = Arg(L"admin");
             args.password = Arg(L"pw\0rest"s);
             ComPtr<IQvWMIServer> s;
             return Connect(access_.Get(), args, &s);
         }, E_INVALIDARG, L"Invalid argument('bstrPassword') specified."},
        {"negative time-out other than -1", [&] {
             ConnectArgs args;
             args.timeout = Arg::Number(-5);
             ComPtr<IQvWMIServer> s;
             return Connect(access_.Get(), args, &s);
         }, kTimedOut, nullptr},
        {"NUL inside the class path", [&] {
             const std::wstring text = L"Double_Service\0junk"s;
             BSTR path = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
             ComPtr<IQvWMIClass> c;
             const HRESULT hr = server->GetClass(path, &c);
             SysFreeString(path);
             return hr;
         }, E_INVALIDARG, L"Invalid argument('bstrObjectPath') specified."},
        {"NUL inside the filter", [&] {
             ComPtr<IQvWMIInstanceCollection> i;
             return cls->get_Instances(Arg(L"State = 'x'\0 OR 1=1"s), &i);
         }, E_INVALIDARG, L"Invalid argument('bstrWQLFilter') specified."},
        {"filter ending inside single quotes", [&] {
             ComPtr<IQvWMIInstanceCollection> i;
             return cls->get_Instances(Arg(L"Name = '"), &i);
         }, static_cast<HRESULT>(WBEM_E_INVALID_QUERY),
         L"Failed to query instances for the object with path 'Double_Service'."},
        {"filter ending inside double quotes after an escaped one", [&] {
             ComPtr<IQvWMIInstanceCollection> i;
             return cls->get_Instances(Arg(L"Name = \"a\\\""), &i);
         }, static_cast<HRESULT>(WBEM_E_INVALID_QUERY),
         L"Failed to query instances for the object with path 'Double_Service'."},
        {"null level out-pointer", [&] { return access_->get_ImpersonationLevel(nullptr); }, E_POINTER, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WmiDoubleReset();
        ReportStale();
        const ULONGLONG start = Now();
        EXPECT_HR(c.expected, c.call());
        EXPECT_LT(Now() - start, 100u) << "refused at once";
        const ErrorRecord info = TakeErrorInfo();
        if (c.context) {
            EXPECT_NE(std::wstring::npos, info.description.find(std::wstring(L"(CONTEXT: ") + c.context + L")"))
                << Narrow(info.description);
        } else {
            EXPECT_FALSE(info.present) << "a bare failure leaves no (stale) description";
        }
        EXPECT_TRUE(RecordLines(L"ConnectServer").empty() && RecordLines(L"GetObject").empty() &&
                    RecordLines(L"ExecQuery").empty());
    }
    // A closed quote, escaped quotes included, is a filter like any other.
    ComPtr<IQvWMIInstanceCollection> instances;
    EXPECT_HR(S_OK, cls->get_Instances(Arg(L"Name = 'it\\'s' OR Name = \"x\""), &instances));
}

// The double is not Wine's WMI: the process-wide lock that serialises calls
// into Wine's WMI is not taken for it, so a stalled query on one thread does
// not hold up a check on another, and both run on the same objects.
TEST_F(AgainstDouble, AStalledQueryDoesNotHoldUpAnotherThread) {
    ComPtr<IQvWMIServer> server = ConnectLocal();
    ComPtr<IQvWMIClass> stalling = GetClass(server.Get(), L"Double_NextStall");
    ASSERT_TRUE(stalling);
    access_->put_Timeout(3000);
    HRESULT stalled = S_OK;
    std::thread first([&] {
        ComApartment apartment;
        ComPtr<IQvWMIInstanceCollection> instances;
        stalled = stalling->get_Instances(Arg(), &instances);
    });
    ASSERT_TRUE(AwaitRecord(L"Next timeout="));
    const ULONGLONG start = Now();
    std::thread second([&] {
        ComApartment apartment;
        ComPtr<IQvWMIClass> cls = GetClass(server.Get(), L"Double_Service");
        ComPtr<IQvWMIInstanceCollection> instances;
        EXPECT_HR(S_OK, cls->get_Instances(Arg(), &instances));
    });
    second.join();
    EXPECT_LT(Now() - start, 1000u) << "the second thread waited for the stalled one";
    first.join();
    EXPECT_HR(kTimedOut, stalled);
}

// Runs alone in a process of its own (see tests/CMakeLists.txt): the first
// refusal of the semi-synchronous lookup is remembered for the process.
TEST(SyncFallback, AfterTheFirstRefusalGetClassFetchesOnceAndWithinTheTimeout) {
    ComApartment apartment;
    WmiDoubleReset();
    ComPtr<IQvWMIAccess> access;
    ASSERT_HR(S_OK, CoCreateInstance(CLSID_QvWMIAccess, nullptr, CLSCTX_INPROC_SERVER, IID_IQvWMIAccess, &access));
    ASSERT_HR(S_OK, access->Initialize());
    ComPtr<IQvWMIServer> server;
    ASSERT_HR(S_OK, Connect(access.Get(), ConnectArgs{}, &server));
    auto getClass = [&](const wchar_t* name) {
        WmiDoubleReset();
        Bstr path(name);
        ComPtr<IQvWMIClass> cls;
        return server->GetClass(path.get(), &cls);
    };
    EXPECT_HR(S_OK, getClass(L"Double_SyncOnly"));
    EXPECT_EQ(2u, RecordLines(L"GetObject").size()) << "refused, then fetched synchronously";
    EXPECT_HR(S_OK, getClass(L"Double_Service"));
    EXPECT_EQ((std::vector<std::wstring>{
                  L"GetObject path=\"Double_Service\" flags=0x0 context=no object=yes callresult=no"}),
              RecordLines(L"GetObject"));

    access->put_Timeout(300);
    const ULONGLONG start = Now();
    EXPECT_HR(kTimedOut, getClass(L"Double_SyncStall"));
    const ULONGLONG took = Now() - start;
    EXPECT_GE(took, 290u);
    EXPECT_LT(took, 400u);
    EXPECT_EQ(0, WmiDoubleCancelStalls());
    server.Reset();
    access.Reset();
    EXPECT_HR(S_OK, BridgeCanUnload(5000)) << "the abandoned fetch ended and released what it held";
    EXPECT_EQ(0, WmiDoubleLiveObjects());
}

}  // namespace
