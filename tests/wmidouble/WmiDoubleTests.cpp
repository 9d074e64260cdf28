// The WMI test double, reached as the bridge reaches WMI: through the locator
// that CoCreateInstance(CLSID_WbemLocator) finds in the double's prefix.
#include <wbemidl.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "WmiDouble.h"

namespace {

const HRESULT kFailed = static_cast<HRESULT>(WBEM_E_FAILED);
const HRESULT kNotFound = static_cast<HRESULT>(WBEM_E_NOT_FOUND);

ULONGLONG Now() { return GetTickCount64(); }

bool Contains(const std::wstring& text, const std::wstring& part) { return text.find(part) != std::wstring::npos; }

HRESULT CanUnloadNow() {
    auto canUnload = reinterpret_cast<HRESULT(WINAPI*)()>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"wmidouble.dll"), "DllCanUnloadNow")));
    return canUnload ? canUnload() : E_FAIL;
}

// The names of a GetNames result, joined with commas.
std::wstring Joined(SAFEARRAY* names) {
    std::wstring text;
    LONG low = 0, high = -1;
    SafeArrayGetLBound(names, 1, &low);
    SafeArrayGetUBound(names, 1, &high);
    for (LONG i = low; i <= high; ++i) {
        BSTR name = nullptr;
        SafeArrayGetElement(names, &i, &name);
        text += (i > low ? L"," : L"") + std::wstring(name ? name : L"");
        SysFreeString(name);
    }
    SafeArrayDestroy(names);
    return text;
}

// A VARIANT as text: booleans as True/False, arrays as "array".
std::wstring Text(VARIANT* value) {
    if (V_VT(value) & VT_ARRAY) return L"array";
    if (V_VT(value) == VT_NULL) return L"null";
    VARIANT copy;
    VariantInit(&copy);
    if (FAILED(VariantChangeType(&copy, value, VARIANT_ALPHABOOL, VT_BSTR))) return L"?";
    std::wstring text(V_BSTR(&copy));
    VariantClear(&copy);
    return text;
}

class WmiDoubleTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_HR(S_OK, apartment_.result());
        WmiDoubleReset();
    }
    void TearDown() override {
        EXPECT_EQ(0, WmiDoubleLiveObjects()) << "objects of the double left alive";
        EXPECT_HR(S_OK, CanUnloadNow());
    }

    static ComPtr<IWbemLocator> Locator() {
        ComPtr<IWbemLocator> locator;
        EXPECT_HR(S_OK, CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                         reinterpret_cast<void**>(locator.GetAddressOf())));
        return locator;
    }
    static HRESULT Connect(const wchar_t* path, ComPtr<IWbemServices>* services = nullptr) {
        ComPtr<IWbemServices> connected;
        Bstr text(path);
        const HRESULT hr = Locator()->ConnectServer(text.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                                    connected.GetAddressOf());
        if (services) *services = connected;
        return hr;
    }
    static ComPtr<IWbemServices> Services() {
        ComPtr<IWbemServices> services;
        EXPECT_HR(S_OK, Connect(L"\\\\.\\root\\cimv2", &services));
        return services;
    }
    static ComPtr<IEnumWbemClassObject> Query(IWbemServices* services, const std::wstring& statement) {
        ComPtr<IEnumWbemClassObject> results;
        Bstr language(L"WQL"), query(statement.c_str());
        EXPECT_HR(S_OK, services->ExecQuery(language.get(), query.get(), 0x30, nullptr, results.GetAddressOf()));
        return results;
    }
    static ComPtr<IWbemClassObject> Definition(IWbemServices* services, const wchar_t* name) {
        ComPtr<IWbemClassObject> definition;
        Bstr path(name);
        EXPECT_HR(S_OK, services->GetObject(path.get(), 0, nullptr, definition.GetAddressOf(), nullptr));
        return definition;
    }
    // The objects of one Next(timeout, 64) call.
    struct Batch {
        HRESULT hr;
        std::vector<ComPtr<IWbemClassObject>> objects;
    };
    static Batch Next(IEnumWbemClassObject* results, LONG timeout) {
        IWbemClassObject* raw[64] = {};
        ULONG returned = 0;
        Batch batch{results->Next(timeout, 64, raw, &returned), {}};
        for (ULONG i = 0; i < returned; ++i) {
            batch.objects.emplace_back();
            *batch.objects.back().GetAddressOf() = raw[i];  // takes over the reference
        }
        return batch;
    }

    ComApartment apartment_;
};

TEST_F(WmiDoubleTest, TheLocatorIsTheDoubleAndCountsItsObjects) {
    ComPtr<IWbemLocator> locator = Locator();
    EXPECT_EQ(1, WmiDoubleLiveObjects());
    EXPECT_HR(S_FALSE, CanUnloadNow());
}

TEST_F(WmiDoubleTest, ConnectRecordsWhatArrives) {
    ComPtr<IWbemServices> services;
    Bstr path(L"\\\\SRV01\\root\\cimv2"), user(L"admin"), password(L""), locale(L"MS_409"),
        authority(L"ntlmdomain:SRV01");
    EXPECT_HR(S_OK, Locator()->ConnectServer(path.get(), user.get(), password.get(), locale.get(), 0,
                                             authority.get(), nullptr, services.GetAddressOf()));
    EXPECT_HR(S_OK, Connect(L"\\\\.\\root\\cimv2"));
    EXPECT_EQ(L"ConnectServer path=\"\\\\SRV01\\root\\cimv2\" user=\"admin\" password=\"\" locale=\"MS_409\" "
              L"flags=0x0 authority=\"ntlmdomain:SRV01\" context=no\n"
              L"ConnectServer path=\"\\\\.\\root\\cimv2\" user=(null) password=(null) locale=(null) flags=0x0 "
              L"authority=(null) context=no\n",
              WmiDoubleRecordText());
}

TEST_F(WmiDoubleTest, ConnectAcceptsOrRefusesByServerAndNamespace) {
    const struct {
        const wchar_t* path;
        HRESULT expected;
    } cases[] = {
        {L"\\\\.\\root\\cimv2", S_OK},
        {L"\\\\SRV01\\root\\cimv2", S_OK},
        {L"\\\\127.0.0.1\\root\\cimv2", S_OK},
        {L"//localhost/root/default", S_OK},
        {L"root\\cimv2", S_OK},
        {L"\\\\DOWN\\root\\cimv2", static_cast<HRESULT>(0x800706BA)},
        {L"\\\\.\\root\\refuse", static_cast<HRESULT>(0x8004100E)},
        {L"\\\\.\\cimv2", static_cast<HRESULT>(0x8004100E)},
    };
    for (const auto& c : cases) {
        ComPtr<IWbemServices> services;
        EXPECT_HR(c.expected, Connect(c.path, &services)) << c.path;
        EXPECT_EQ(SUCCEEDED(c.expected), services != nullptr) << c.path;
    }
}

DWORD WINAPI ConnectOnWorker(void* parameter) {
    auto* locator = static_cast<IWbemLocator*>(parameter);
    Bstr path(L"\\\\.\\root\\stall60000");
    ComPtr<IWbemServices> services;
    return static_cast<DWORD>(
        locator->ConnectServer(path.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.GetAddressOf()));
}

// Starts a ConnectServer that stalls for a minute and returns once the double
// has recorded it.
HANDLE StartStalledConnect(IWbemLocator* locator) {
    HANDLE worker = CreateThread(nullptr, 0, ConnectOnWorker, locator, 0, nullptr);
    for (int i = 0; worker && i < 500 && !Contains(WmiDoubleRecordText(), L"stall60000"); ++i) Sleep(10);
    Sleep(50);
    return worker;
}

TEST_F(WmiDoubleTest, CancelEndsStallsUntilTheNextReset) {
    ComPtr<IWbemLocator> locator = Locator();
    HANDLE worker = StartStalledConnect(locator.Get());
    ASSERT_NE(nullptr, worker);
    const ULONGLONG start = Now();
    EXPECT_EQ(0, WmiDoubleCancelStalls());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(worker, 5000));
    DWORD result = 0;
    GetExitCodeThread(worker, &result);
    CloseHandle(worker);
    EXPECT_HR(static_cast<HRESULT>(WBEM_E_CALL_CANCELLED), static_cast<HRESULT>(result));
    EXPECT_LT(Now() - start, 2000u);

    EXPECT_HR(static_cast<HRESULT>(WBEM_E_CALL_CANCELLED), Connect(L"\\\\.\\root\\stall60000"));
    // After a reset a stall waits its time, then connects.
    WmiDoubleReset();
    const ULONGLONG again = Now();
    EXPECT_HR(S_OK, Connect(L"\\\\.\\root\\stall300"));
    EXPECT_GE(Now() - again, 280u);
}

TEST_F(WmiDoubleTest, AStalledThreadMayBeTerminated) {
    ComPtr<IWbemLocator> locator = Locator();
    HANDLE worker = StartStalledConnect(locator.Get());
    ASSERT_NE(nullptr, worker);
    TerminateThread(worker, 0);
    WaitForSingleObject(worker, 5000);
    CloseHandle(worker);
    // No lock was held: the double still answers, and a reset does not wait
    // for the terminated thread.
    EXPECT_HR(S_OK, Connect(L"\\\\.\\root\\cimv2"));
    const ULONGLONG start = Now();
    WmiDoubleReset();
    EXPECT_LT(Now() - start, 1000u);
}

TEST_F(WmiDoubleTest, ProxyBlanketsAreRecordedAndServicesMarshalToThemselves) {
    ComPtr<IWbemServices> services = Services();
    // The bridge hands services from its worker through a stream.
    ComPtr<IStream> stream;
    ASSERT_HR(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, stream.GetAddressOf()));
    ASSERT_HR(S_OK, CoMarshalInterface(stream.Get(), IID_IWbemServices, services.Get(), MSHCTX_INPROC, nullptr,
                                       MSHLFLAGS_NORMAL));
    LARGE_INTEGER zero = {};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    ComPtr<IWbemServices> unmarshalled;
    ASSERT_HR(S_OK, CoUnmarshalInterface(stream.Get(), IID_IWbemServices,
                                         reinterpret_cast<void**>(unmarshalled.GetAddressOf())));
    EXPECT_EQ(services.Get(), unmarshalled.Get());

    ComPtr<IWbemCallResult> callResult;
    Bstr path(L"Double_Service");
    ASSERT_HR(S_OK, services->GetObject(path.get(), 0x10, nullptr, nullptr, callResult.GetAddressOf()));
    ComPtr<IEnumWbemClassObject> results = Query(services.Get(), L"SELECT * FROM Double_Empty");
    ASSERT_TRUE(results);

    wchar_t user[] = L"admin", domain[] = L"CORP", password[] = L"";
    COAUTHIDENTITY identity = {reinterpret_cast<USHORT*>(user), 5, reinterpret_cast<USHORT*>(domain), 4,
                               reinterpret_cast<USHORT*>(password), 0, SEC_WINNT_AUTH_IDENTITY_UNICODE};
    WmiDoubleReset();
    EXPECT_HR(S_OK, CoSetProxyBlanket(unmarshalled.Get(), 10, 0, nullptr, 6, 3, &identity, 0));
    EXPECT_HR(S_OK, CoSetProxyBlanket(callResult.Get(), 10, 0, nullptr, 2, 2, nullptr, 0));
    EXPECT_HR(S_OK, CoSetProxyBlanket(results.Get(), 10, 0, nullptr, 6, 3, &identity, 0));
    const wchar_t* withIdentity = L" authn=10 authz=0 principal=(null) level=6 impersonation=3 capabilities=0x0 "
                                  L"user=\"admin\" domain=\"CORP\" password=\"\" flags=2\n";
    EXPECT_EQ(std::wstring(L"SetBlanket on=services") + withIdentity +
                  L"SetBlanket on=callresult authn=10 authz=0 principal=(null) level=2 impersonation=2 "
                  L"capabilities=0x0 identity=(null)\n"
                  L"SetBlanket on=enumerator" + withIdentity,
              WmiDoubleRecordText());
}

TEST_F(WmiDoubleTest, NextReturnsBatchesOfAtMostTheRequestedCount) {
    const HRESULT full = S_OK, last = WBEM_S_FALSE, timedOut = WBEM_S_TIMEDOUT;
    const struct {
        const wchar_t* className;
        std::vector<std::pair<HRESULT, size_t>> batches;
    } cases[] = {
        {L"Double_Item64", {{full, 64}, {last, 0}}},
        {L"Double_Service", {{last, 3}}},
        {L"Double_Empty", {{last, 0}}},
        {L"Bulk_100", {{full, 64}, {last, 36}}},
        {L"double_nextfails", {{full, 64}, {kFailed, 0}}},
        {L"Double_NextTimedOut", {{timedOut, 0}}},
    };
    ComPtr<IWbemServices> services = Services();
    for (const auto& c : cases) {
        WmiDoubleReset();
        const std::wstring statement = std::wstring(L"SELECT * FROM ") + c.className + L" WHERE Id > 1";
        ComPtr<IEnumWbemClassObject> results = Query(services.Get(), statement);
        ASSERT_TRUE(results) << c.className;
        std::wstring expected = L"ExecQuery language=\"WQL\" query=\"" + statement + L"\" flags=0x30 context=no\n";
        for (const auto& [hr, count] : c.batches) {
            Batch batch = Next(results.Get(), 1000);
            EXPECT_HR(hr, batch.hr) << c.className;
            EXPECT_EQ(count, batch.objects.size()) << c.className;
            expected += L"Next timeout=1000 count=64\n";
        }
        EXPECT_EQ(expected, WmiDoubleRecordText());
    }
}

TEST_F(WmiDoubleTest, NextStallsWithinItsTimeout) {
    const struct {
        const wchar_t* className;
        LONG timeout;
        HRESULT expected;
        size_t count;
        ULONGLONG atLeastMs;
    } cases[] = {
        {L"Double_NextStall", 150, WBEM_S_TIMEDOUT, 0, 140},
        {L"Double_NextSlow_100", -1, WBEM_S_FALSE, 3, 90},
        {L"Double_NextSlow_60000", 50, WBEM_S_TIMEDOUT, 0, 40},
    };
    ComPtr<IWbemServices> services = Services();
    for (const auto& c : cases) {
        ComPtr<IEnumWbemClassObject> results = Query(services.Get(), std::wstring(L"SELECT * FROM ") + c.className);
        const ULONGLONG start = Now();
        Batch batch = Next(results.Get(), c.timeout);
        const ULONGLONG elapsed = Now() - start;
        EXPECT_HR(c.expected, batch.hr) << c.className;
        EXPECT_EQ(c.count, batch.objects.size()) << c.className;
        EXPECT_GE(elapsed, c.atLeastMs) << c.className;
        EXPECT_LT(elapsed, 5000u) << c.className;
    }
}

TEST_F(WmiDoubleTest, ExecQueryRefusals) {
    const struct {
        const wchar_t* language;
        const wchar_t* statement;
        HRESULT expected;
    } cases[] = {
        {L"SQL", L"SELECT * FROM Double_Service", static_cast<HRESULT>(WBEM_E_INVALID_QUERY_TYPE)},
        {L"WQL", L"SELECT * Double_Service", static_cast<HRESULT>(WBEM_E_INVALID_QUERY)},
        {L"WQL", L"SELECT * FROM Win32_NoSuchClass", static_cast<HRESULT>(WBEM_E_INVALID_CLASS)},
        // A data-file class reads its WHERE: a missing property fails the
        // whole query, as WMI does.
        {L"WQL", L"SELECT * FROM Win32_Service WHERE DelayedStart = TRUE", static_cast<HRESULT>(WBEM_E_INVALID_QUERY)},
        {L"WQL", L"SELECT * FROM Win32_Service WHERE (State = 'Running'", static_cast<HRESULT>(WBEM_E_INVALID_QUERY)},
        {L"WQL", L"SELECT * FROM Win32_Service WHERE State = 'Running", static_cast<HRESULT>(WBEM_E_INVALID_QUERY)},
        {L"WQL", L"SELECT * FROM Win32_Service WHERE State 'Running'", static_cast<HRESULT>(WBEM_E_INVALID_QUERY)},
    };
    ComPtr<IWbemServices> services = Services();
    for (const auto& c : cases) {
        ComPtr<IEnumWbemClassObject> results;
        Bstr language(c.language), query(c.statement);
        EXPECT_HR(c.expected, services->ExecQuery(language.get(), query.get(), 0x30, nullptr, results.GetAddressOf()))
            << c.statement;
        EXPECT_FALSE(results);
    }
}

// Win32_Service from the data file, its WHERE applied; SVCFAIL01's overlay.
TEST_F(WmiDoubleTest, TheServiceTableAppliesTheWhere) {
    const struct {
        const wchar_t* server;
        const wchar_t* where;
        const wchar_t* names;  // the instances' Name, in the file's order
    } cases[] = {
        {L".", L"name = 'SPOOLER'", L"Spooler"},
        {L".", L"StartMode='Auto' AND State<>'Running'", L"CDPUserSvc,MapsBroker,RemoteRegistry,sppsvc,OneSyncSvc"},
        {L".", L"StartMode='Auto' AND State<>'Running' AND NOT DelayedAutoStart = TRUE", L"CDPUserSvc,RemoteRegistry"},
        {L".", L"(Name = \"Spooler\" OR Name='EventLog') AND ProcessId > 0 AND Started = true", L"Spooler,EventLog"},
        {L".", L"ProcessId >= 1 AND ProcessId <= 604 OR Name != Name", L"Appinfo"},
        {L".", L"DisplayName IS NULL OR NOT (Name = 'W32Time')  AND  Name = 'W32Time'", L""},
        {L"SVCFAIL01", L"StartMode='Auto' AND State<>'Running' AND DelayedAutoStart=FALSE",
         L"CDPUserSvc,Spooler,RemoteRegistry"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << Narrow(c.server) << ": " << Narrow(c.where));
        ComPtr<IWbemServices> services;
        ASSERT_HR(S_OK, Connect((L"\\\\" + std::wstring(c.server) + L"\\root\\cimv2").c_str(), &services));
        ComPtr<IEnumWbemClassObject> results =
            Query(services.Get(), L"SELECT * FROM Win32_Service WHERE " + std::wstring(c.where));
        ASSERT_TRUE(results);
        std::wstring names;
        for (HRESULT hr = S_OK; hr == S_OK;) {
            Batch batch = Next(results.Get(), -1);
            hr = batch.hr;
            for (const ComPtr<IWbemClassObject>& object : batch.objects) {
                VARIANT name;
                ASSERT_HR(S_OK, object->Get(L"Name", 0, &name, nullptr, nullptr));
                names += (names.empty() ? L"" : L",") + Text(&name);
                VariantClear(&name);
            }
        }
        EXPECT_EQ(c.names, names);
    }
}

TEST_F(WmiDoubleTest, BulkInstancesAreMadeAsTheyAreFetched) {
    ComPtr<IWbemServices> services = Services();
    ComPtr<IEnumWbemClassObject> results = Query(services.Get(), L"SELECT * FROM Bulk_100000");
    size_t total = 0;
    LONG mostAlive = 0;
    std::wstring lastValue;
    for (;;) {
        Batch batch = Next(results.Get(), -1);
        ASSERT_TRUE(SUCCEEDED(batch.hr));
        total += batch.objects.size();
        mostAlive = std::max(mostAlive, WmiDoubleLiveObjects());
        if (batch.hr != S_OK) {
            VARIANT value;
            ASSERT_HR(S_OK, batch.objects.back()->Get(L"P20", 0, &value, nullptr, nullptr));
            lastValue = Text(&value);
            VariantClear(&value);
            break;
        }
    }
    EXPECT_EQ(100000u, total);
    EXPECT_EQ(L"v100000.20", lastValue);
    EXPECT_LE(mostAlive, 64 + 2);  // one batch, the services and the enumerator
}

TEST_F(WmiDoubleTest, ClassDefinitionListsSystemPropertiesFirstAndKeys) {
    ComPtr<IWbemServices> services = Services();
    ComPtr<IWbemClassObject> definition = Definition(services.Get(), L"Double_Service");
    ASSERT_TRUE(definition);
    SAFEARRAY* names = nullptr;
    ASSERT_HR(S_OK, definition->GetNames(nullptr, WBEM_FLAG_ALWAYS, nullptr, &names));
    EXPECT_EQ(L"__GENUS,__CLASS,__RELPATH,__PROPERTY_COUNT,__PATH,Name,State,ProcessId,Caption,Dependencies,"
              L"Capacity,Offset",
              Joined(names));
    ASSERT_HR(S_OK, definition->GetNames(nullptr, WBEM_FLAG_KEYS_ONLY, nullptr, &names));
    EXPECT_EQ(L"Name", Joined(names));
    ASSERT_HR(S_OK, Definition(services.Get(), L"Bulk_5")->GetNames(nullptr, WBEM_FLAG_KEYS_ONLY, nullptr, &names));
    EXPECT_EQ(L"", Joined(names));

    VARIANT value;
    CIMTYPE type = 0;
    LONG flavor = 0;
    ASSERT_HR(S_OK, definition->Get(L"__CLASS", 0, &value, &type, &flavor));
    EXPECT_EQ(L"Double_Service", Text(&value));
    EXPECT_EQ(CIM_STRING, type);
    EXPECT_EQ(64, flavor);
    VariantClear(&value);
    ASSERT_HR(S_OK, definition->Get(L"State", 0, &value, &type, &flavor));
    EXPECT_EQ(VT_NULL, V_VT(&value));
    EXPECT_EQ(0, flavor);
    ComPtr<IWbemQualifierSet> qualifiers;
    EXPECT_HR(static_cast<HRESULT>(WBEM_E_SYSTEM_PROPERTY),
              definition->GetPropertyQualifierSet(L"__PATH", qualifiers.GetAddressOf()));
    EXPECT_HR(kNotFound, definition->GetPropertyQualifierSet(L"Missing", qualifiers.GetAddressOf()));
}

TEST_F(WmiDoubleTest, QualifiersOfTheServiceClass) {
    const struct {
        const wchar_t* property;
        const wchar_t* qualifier;
        HRESULT expected;
        VARTYPE type;
        const wchar_t* text;
    } cases[] = {
        {L"Name", L"Key", S_OK, VT_BOOL, L"True"},
        {L"Name", L"DisplayName", S_OK, VT_BSTR, L"Service name"},
        {L"Name", L"MaxLen", S_OK, VT_BSTR, L"255"},
        {L"Name", L"Required", S_OK, VT_BOOL, L"True"},
        {L"ProcessId", L"MinValue", S_OK, VT_I4, L"1"},
        {L"ProcessId", L"MaxValue", S_OK, VT_BSTR, L"65535"},
        {L"Capacity", L"MaxValue", S_OK, VT_BSTR, L"5000000000"},
        {L"Offset", L"MinValue", S_OK, VT_I8, L"-5000000000"},
        {L"Caption", L"Read", S_OK, VT_BOOL, L"False"},
        {L"State", L"Write", S_OK, VT_BOOL, L"True"},
        {L"State", L"Key", kNotFound, VT_EMPTY, nullptr},
        {L"Dependencies", L"Description", kNotFound, VT_EMPTY, nullptr},
    };
    ComPtr<IWbemServices> services = Services();
    ComPtr<IWbemClassObject> definition = Definition(services.Get(), L"Double_Service");
    ASSERT_TRUE(definition);
    for (const auto& c : cases) {
        ComPtr<IWbemQualifierSet> qualifiers;
        ASSERT_HR(S_OK, definition->GetPropertyQualifierSet(c.property, qualifiers.GetAddressOf()));
        VARIANT value;
        VariantInit(&value);
        EXPECT_HR(c.expected, qualifiers->Get(c.qualifier, 0, &value, nullptr)) << c.property << L"." << c.qualifier;
        if (FAILED(c.expected)) continue;
        EXPECT_EQ(c.type, V_VT(&value)) << c.property << L"." << c.qualifier;
        EXPECT_EQ(c.text, Text(&value)) << c.property << L"." << c.qualifier;
        VariantClear(&value);
    }
}

TEST_F(WmiDoubleTest, InstanceValuesAsWmiMapsThem) {
    const struct {
        const wchar_t* property;
        CIMTYPE type;
        VARTYPE variant;
        const wchar_t* text;
    } cases[] = {
        {L"__GENUS", CIM_SINT32, VT_I4, L"2"},
        {L"__PATH", CIM_STRING, VT_BSTR, L"\\\\DOUBLE\\root\\cimv2:Double_Service.Name=\"svc1\""},
        {L"Name", CIM_STRING, VT_BSTR, L"svc1"},
        {L"State", CIM_STRING, VT_BSTR, L"Running"},
        {L"ProcessId", CIM_UINT32, VT_I4, L"104"},
        {L"Caption", CIM_STRING, VT_NULL, L"null"},
        {L"Dependencies", 8200, VT_ARRAY | VT_BSTR, L"array"},
        {L"Capacity", CIM_UINT64, VT_BSTR, L"5000000000"},
        {L"Offset", CIM_SINT64, VT_BSTR, L"-5000000000"},
    };
    ComPtr<IWbemServices> services = Services();
    Batch batch = Next(Query(services.Get(), L"SELECT * FROM Double_Service").Get(), -1);
    ASSERT_EQ(3u, batch.objects.size());
    for (const auto& c : cases) {
        VARIANT value;
        CIMTYPE type = 0;
        ASSERT_HR(S_OK, batch.objects[0]->Get(c.property, 0, &value, &type, nullptr)) << c.property;
        EXPECT_EQ(c.type, type) << c.property;
        EXPECT_EQ(c.variant, V_VT(&value)) << c.property;
        EXPECT_EQ(c.text, Text(&value)) << c.property;
        VariantClear(&value);
    }
    std::wstring states;
    for (const auto& object : batch.objects) {
        VARIANT value;
        ASSERT_HR(S_OK, object->Get(L"State", 0, &value, nullptr, nullptr));
        states += Text(&value) + L" ";
        VariantClear(&value);
    }
    EXPECT_EQ(L"Running Stopped Running ", states);
}

// The other data-file classes: each column type as WMI hands it out, the
// key in __RELPATH (none for the singleton).
TEST_F(WmiDoubleTest, DataFileClassesAsWmiMapsThem) {
    const struct {
        const wchar_t* query;
        const wchar_t* property;
        CIMTYPE type;
        VARTYPE variant;
        const wchar_t* text;  // null: a datetime of now, checked by form
    } cases[] = {
        {L"SELECT * FROM Win32_OperatingSystem", L"__RELPATH", CIM_STRING, VT_BSTR, L"Win32_OperatingSystem=@"},
        {L"SELECT * FROM Win32_OperatingSystem", L"FreePhysicalMemory", CIM_UINT64, VT_BSTR, L"3355443"},
        {L"SELECT * FROM Win32_OperatingSystem", L"LastBootUpTime", CIM_DATETIME, VT_BSTR, nullptr},
        {L"SELECT * FROM Win32_Processor WHERE LoadPercentage > 50", L"LoadPercentage", CIM_UINT16, VT_I4, L"97"},
        {L"SELECT * FROM Win32_LogicalDisk WHERE DriveType = 5", L"Size", CIM_UINT64, VT_NULL, L"null"},
        {L"SELECT * FROM Win32_Process WHERE ProcessId = 704", L"__RELPATH", CIM_STRING, VT_BSTR,
         L"Win32_Process.Handle=\"704\""},
        {L"SELECT * FROM Win32_Process WHERE ProcessId = 704", L"Name", CIM_STRING, VT_BSTR, L"spoolsv.exe"},
    };
    ComPtr<IWbemServices> services = Services();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << Narrow(c.query) << ": " << Narrow(c.property));
        Batch batch = Next(Query(services.Get(), c.query).Get(), -1);
        ASSERT_EQ(1u, batch.objects.size());
        VARIANT value;
        CIMTYPE type = 0;
        ASSERT_HR(S_OK, batch.objects[0]->Get(c.property, 0, &value, &type, nullptr));
        EXPECT_EQ(c.type, type);
        EXPECT_EQ(c.variant, V_VT(&value));
        const std::wstring text = Text(&value);
        if (c.text) EXPECT_EQ(c.text, text);
        else EXPECT_TRUE(text.size() == 25 && text.compare(14, 8, L".000000+") == 0) << Narrow(text);
        VariantClear(&value);
    }
}

TEST_F(WmiDoubleTest, TheBadInstanceFailsEveryGet) {
    ComPtr<IWbemServices> services = Services();
    Batch batch = Next(Query(services.Get(), L"SELECT * FROM Double_BadInstance").Get(), -1);
    ASSERT_EQ(3u, batch.objects.size());
    VARIANT value;
    EXPECT_HR(kFailed, batch.objects[1]->Get(L"Name", 0, &value, nullptr, nullptr));
    EXPECT_HR(kFailed, batch.objects[1]->Get(L"__PATH", 0, &value, nullptr, nullptr));
    SAFEARRAY* names = nullptr;
    EXPECT_HR(S_OK, batch.objects[1]->GetNames(nullptr, WBEM_FLAG_ALWAYS, nullptr, &names));
    Joined(names);
    ASSERT_HR(S_OK, batch.objects[2]->Get(L"Name", 0, &value, nullptr, nullptr));
    EXPECT_EQ(L"svc3", Text(&value));
    VariantClear(&value);
}

TEST_F(WmiDoubleTest, GetResultObjectScenarios) {
    const struct {
        const wchar_t* className;
        LONG timeout;
        HRESULT expected;
        ULONGLONG atLeastMs;
    } cases[] = {
        {L"Double_Service", 1000, S_OK, 0},
        {L"Double_GetResult_40005", 1000, static_cast<HRESULT>(0x40005), 0},
        {L"Double_GetResult_40004", -1, WBEM_S_TIMEDOUT, 0},
        {L"Double_GetResult_80041001", 1000, kFailed, 0},
        {L"Double_GetStall", 150, WBEM_S_TIMEDOUT, 140},
        {L"Double_GetSlow_100", -1, S_OK, 90},
    };
    ComPtr<IWbemServices> services = Services();
    for (const auto& c : cases) {
        WmiDoubleReset();
        Bstr path(c.className);
        ComPtr<IWbemCallResult> callResult;
        ASSERT_HR(S_OK, services->GetObject(path.get(), 0x10, nullptr, nullptr, callResult.GetAddressOf()));
        ComPtr<IWbemClassObject> definition;
        const ULONGLONG start = Now();
        EXPECT_HR(c.expected, callResult->GetResultObject(c.timeout, definition.GetAddressOf())) << c.className;
        EXPECT_GE(Now() - start, c.atLeastMs) << c.className;
        EXPECT_EQ(c.expected == S_OK, definition != nullptr) << c.className;
        EXPECT_EQ(std::wstring(L"GetObject path=\"") + c.className +
                      L"\" flags=0x10 context=no object=no callresult=yes\nGetResultObject timeout=" +
                      std::to_wstring(c.timeout) + L"\n",
                  WmiDoubleRecordText());
    }
}

TEST_F(WmiDoubleTest, GetObjectRefusalsAndTheSynchronousCall) {
    ComPtr<IWbemServices> services = Services();
    ComPtr<IWbemClassObject> definition;
    ComPtr<IWbemCallResult> callResult;
    Bstr unknown(L"Win32_NoSuchClass"), stalled(L"root\\cimv2:Double_GetStall");
    EXPECT_HR(kNotFound, services->GetObject(unknown.get(), 0x10, nullptr, nullptr, callResult.GetAddressOf()));
    EXPECT_HR(kNotFound, services->GetObject(unknown.get(), 0, nullptr, definition.GetAddressOf(), nullptr));
    EXPECT_HR(static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER),
              services->GetObject(stalled.get(), 0x10, nullptr, definition.GetAddressOf(), callResult.GetAddressOf()));
    // Without 0x10 the call-result scenarios do not apply.
    ASSERT_HR(S_OK, services->GetObject(stalled.get(), 0, nullptr, definition.GetAddressOf(), nullptr));
    VARIANT value;
    ASSERT_HR(S_OK, definition->Get(L"__GENUS", 0, &value, nullptr, nullptr));
    EXPECT_EQ(L"1", Text(&value));
}

}  // namespace
