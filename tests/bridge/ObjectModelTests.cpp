// The bridge's object model against Wine's real WMI, through the registered
// DLL: Connect and its argument rules, the server's getters, GetClass, the
// property lists, the instance query, concurrency and leaks.
#include <wbemidl.h>

#include <atomic>
#include <thread>
#include <vector>

#include "BridgeClient.h"
#include "qvWMI_h.h"

namespace {

std::wstring Text(HRESULT (STDMETHODCALLTYPE IQvWMIServer::*getter)(BSTR*), IQvWMIServer* server, bool* isNull) {
    Bstr value;
    EXPECT_HR(S_OK, (server->*getter)(value.put()));
    *isNull = value.null();
    return value.str();
}

// Direct WMI, to compare the bridge's answers with.
ComPtr<IWbemServices> DirectServices() {
    ComPtr<IWbemLocator> locator;
    ComPtr<IWbemServices> services;
    if (FAILED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, &locator)))
        return services;
    Bstr path(L"\\\\.\\root\\cimv2");
    locator->ConnectServer(path.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services);
    return services;
}

long DirectCount(const wchar_t* statement) {
    ComPtr<IWbemServices> services = DirectServices();
    ComPtr<IEnumWbemClassObject> results;
    Bstr wql(L"WQL"), text(statement);
    if (!services || FAILED(services->ExecQuery(wql.get(), text.get(), WBEM_FLAG_FORWARD_ONLY, nullptr, &results)))
        return -1;
    long count = 0;
    for (;;) {
        IWbemClassObject* object = nullptr;
        ULONG returned = 0;
        results->Next(WBEM_INFINITE, 1, &object, &returned);
        if (returned == 0) break;
        object->Release();
        ++count;
    }
    return count;
}

class ObjectModel : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HR(S_OK, CoCreateInstance(CLSID_QvWMIAccess, nullptr, CLSCTX_INPROC_SERVER, IID_IQvWMIAccess,
                                         &access_));
        ASSERT_HR(S_OK, access_->Initialize());
    }
    void TearDown() override {
        access_.Reset();
        EXPECT_HR(S_OK, BridgeCanUnload()) << "an object of the bridge leaked";
    }
    ComPtr<IQvWMIClass> GetClass(const wchar_t* name) {
        ComPtr<IQvWMIServer> server;
        ComPtr<IQvWMIClass> cls;
        EXPECT_HR(S_OK, Connect(access_.Get(), ConnectArgs{}, &server));
        if (!server) return cls;
        Bstr path(name);
        EXPECT_HR(S_OK, server->GetClass(path.get(), &cls));
        return cls;
    }

    ComApartment apartment_;
    ComPtr<IQvWMIAccess> access_;
};

TEST_F(ObjectModel, ConnectWithEverythingOmitted) {
    ComPtr<IQvWMIServer> server;
    ASSERT_HR(S_OK, Connect(access_.Get(), ConnectArgs{}, &server));
    bool isNull = false;
    EXPECT_EQ(L"\\\\.\\root\\cimv2", Text(&IQvWMIServer::get_NetworkPath, server.Get(), &isNull));
    EXPECT_EQ(L".", Text(&IQvWMIServer::get_Server, server.Get(), &isNull));
    EXPECT_EQ(L"cimv2", Text(&IQvWMIServer::get_Namespace, server.Get(), &isNull));
    for (auto getter : {&IQvWMIServer::get_User, &IQvWMIServer::get_Domain, &IQvWMIServer::get_Locale}) {
        Text(getter, server.Get(), &isNull);
        EXPECT_TRUE(isNull) << "User, Domain and Locale are null strings when not given";
    }
}

TEST_F(ObjectModel, ServerUserDomainAndNamespaceRules) {
    struct Case {
        const char* name;
        const wchar_t* server;
        const wchar_t* nameSpace;
        const wchar_t* domain;
        const wchar_t* user;
        const wchar_t* expectServer;
        const wchar_t* expectPath;
        const wchar_t* expectNamespace;
        const wchar_t* expectDomain;  // null: a null string
        const wchar_t* expectUser;
    } cases[] = {
        {"backslashes stripped", L"\\\\.\\", nullptr, nullptr, nullptr, L".", L"\\\\.\\root\\cimv2", L"cimv2", nullptr, nullptr},
        {"localhost is not the local dot", L"localhost", nullptr, nullptr, nullptr, L"localhost",
         L"\\\\localhost\\root\\cimv2", L"cimv2", L"localhost", nullptr},
        {"user's domain with the local server", nullptr, nullptr, nullptr, L"CORP\\admin", L".",
         L"\\\\.\\root\\cimv2", L"cimv2", L"CORP", L"admin"},
        {"slash separates too", nullptr, nullptr, nullptr, L"CORP/admin", L".", L"\\\\.\\root\\cimv2", L"cimv2",
         L"CORP", L"admin"},
        {"leading backslash kept", nullptr, nullptr, nullptr, L"\\admin", L".", L"\\\\.\\root\\cimv2", L"cimv2",
         nullptr, L"\\admin"},
        {"separator last", nullptr, nullptr, nullptr, L"CORP\\", L".", L"\\\\.\\root\\cimv2", L"cimv2", L"CORP", L""},
        {"remote server keeps the user's domain", L"localhost", nullptr, nullptr, L"CORP\\admin", L"localhost",
         L"\\\\localhost\\root\\cimv2", L"cimv2", L"CORP", L"admin"},
        {"remote server names a bare user's domain", L"localhost", nullptr, nullptr, L"admin", L"localhost",
         L"\\\\localhost\\root\\cimv2", L"cimv2", L"localhost", L"admin"},
        {"domain argument wins", nullptr, nullptr, L"DOM", L"CORP\\admin", L".", L"\\\\.\\root\\cimv2", L"cimv2",
         L"DOM", L"admin"},
        {"namespace from the root", nullptr, L"root\\cimv2", nullptr, nullptr, L".", L"\\\\.\\root\\cimv2",
         L"cimv2", nullptr, nullptr},
        {"namespace from the root with a slash", nullptr, L"ROOT/cimv2", nullptr, nullptr, L".",
         L"\\\\.\\root\\cimv2", L"cimv2", nullptr, nullptr},
        {"namespace with backslashes around", nullptr, L"\\cimv2\\", nullptr, nullptr, L".", L"\\\\.\\root\\cimv2",
         L"cimv2", nullptr, nullptr},
        {"empty user name is a user", nullptr, nullptr, nullptr, L"", L".", L"\\\\.\\root\\cimv2", L"cimv2",
         nullptr, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConnectArgs args;
        if (c.server) args.server = Arg(c.server);
        if (c.nameSpace) args.nameSpace = Arg(c.nameSpace);
        if (c.domain) args.domain = Arg(c.domain);
        if (c.user) args.user = Arg(c.user);
        ComPtr<IQvWMIServer> server;
        ASSERT_HR(S_OK, Connect(access_.Get(), args, &server));
        bool isNull = false;
        EXPECT_EQ(c.expectServer, Text(&IQvWMIServer::get_Server, server.Get(), &isNull));
        EXPECT_EQ(c.expectPath, Text(&IQvWMIServer::get_NetworkPath, server.Get(), &isNull));
        EXPECT_EQ(c.expectNamespace, Text(&IQvWMIServer::get_Namespace, server.Get(), &isNull));
        std::wstring domain = Text(&IQvWMIServer::get_Domain, server.Get(), &isNull);
        if (c.expectDomain) EXPECT_EQ(c.expectDomain, domain);
        else EXPECT_TRUE(isNull) << "domain should be null";
        std::wstring user = Text(&IQvWMIServer::get_User, server.Get(), &isNull);
        if (c.expectUser) EXPECT_EQ(c.expectUser, user);
        else EXPECT_TRUE(isNull) << "user should be null";
    }
}

TEST_F(ObjectModel, RefusedArgumentsNameTheFirstInCheckOrder) {
    struct Case {
        const char* name;
        ConnectArgs args;
        const wchar_t* argument;
    };
    std::vector<Case> cases;
    {
        ConnectArgs a;
        a.timeout = Arg::Of(VT_I2, 5);
        cases.push_back({"16-bit time-out", std::move(a), L"lConnectionTimeout"});
    }
    {
        ConnectArgs a;
        a.timeout = Arg::Of(VT_NULL);
        cases.push_back({"null time-out", std::move(a), L"lConnectionTimeout"});
    }
    {
        ConnectArgs a;
        a.server = Arg::Of(VT_I4, 1);
        a.timeout = Arg::Of(VT_I2, 5);
        cases.push_back({"number as server comes first", std::move(a), L"bstrServer"});
    }
    {
        ConnectArgs a;
        a.domain = Arg::Of(VT_I4, 1);
        a.user = Arg::Of(VT_I4, 1);
        cases.push_back({"user name is checked before domain", std::move(a), L"bstrUserName"});
    }
    {
        ConnectArgs a;
        a.locale = Arg::Of(VT_BOOL);
        cases.push_back({"boolean locale", std::move(a), L"bstrLocale"});
    }
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        ComPtr<IQvWMIServer> server;
        EXPECT_HR(E_INVALIDARG, Connect(access_.Get(), c.args, &server));
        EXPECT_EQ(nullptr, server.Get());
        ErrorRecord info = TakeErrorInfo();
        EXPECT_EQ(BaseText(E_INVALIDARG) + L" (ACTION: Component::Connect) (CONTEXT: Invalid argument('" +
                      c.argument + L"') specified.)",
                  info.description);
    }
    EXPECT_HR(E_INVALIDARG, Connect(access_.Get(), cases[0].args, nullptr)) << "arguments before ppServer";
    TakeErrorInfo();
    EXPECT_HR(E_POINTER, Connect(access_.Get(), ConnectArgs{}, nullptr));
    EXPECT_NE(std::wstring::npos, TakeErrorInfo().description.find(L"Argument 'ppServer' cannot be NULL"));
}

TEST_F(ObjectModel, ScriptVariablesByReferenceAreJudgedByTheirValue) {
    Arg server(L"."), nameSpace(L"root\\cimv2"), timeout = Arg::Of(VT_I4, 30000);
    ConnectArgs args;
    args.server = Arg::RefTo(server);
    args.nameSpace = Arg::RefTo(nameSpace);
    args.timeout = Arg::RefTo(timeout);
    ComPtr<IQvWMIServer> connected;
    ASSERT_HR(S_OK, Connect(access_.Get(), args, &connected));
    bool isNull;
    EXPECT_EQ(L"\\\\.\\root\\cimv2", Text(&IQvWMIServer::get_NetworkPath, connected.Get(), &isNull));

    Arg shortNumber = Arg::Of(VT_I2, 5);
    ConnectArgs refused;
    refused.timeout = Arg::RefTo(shortNumber);
    ComPtr<IQvWMIServer> none;
    EXPECT_HR(E_INVALIDARG, Connect(access_.Get(), refused, &none)) << "a referenced VT_I2 is still refused";
    TakeErrorInfo();
}

TEST_F(ObjectModel, ConnectFailuresComeBackBare) {
    ComPtr<IQvWMIAccess> uninitialized;
    ASSERT_HR(S_OK, CoCreateInstance(CLSID_QvWMIAccess, nullptr, CLSCTX_INPROC_SERVER, IID_IQvWMIAccess,
                                     &uninitialized));
    ComPtr<IQvWMIServer> server;
    EXPECT_HR(E_FAIL, Connect(uninitialized.Get(), ConnectArgs{}, &server)) << "no locator before Initialize";
    EXPECT_NE(std::wstring::npos, TakeErrorInfo().description.find(L"(CONTEXT: The current state of the object"));

    for (long timeout : {-1L, 30000L}) {
        SCOPED_TRACE(timeout);
        ReportStale();
        ConnectArgs args;
        args.nameSpace = Arg(L"no_such_namespace");
        args.timeout = Arg::Of(VT_I4, timeout);
        EXPECT_HR(static_cast<HRESULT>(0x8004100E), Connect(access_.Get(), args, &server));
        EXPECT_FALSE(TakeErrorInfo().present) << "a bare failure leaves no (stale) description";
    }
}

TEST_F(ObjectModel, TimeoutMinusOneConnectsOnTheCallingThreadAndZeroDoesNotWait) {
    ConnectArgs direct;
    direct.timeout = Arg::Of(VT_I4, -1);
    ComPtr<IQvWMIServer> server;
    EXPECT_HR(S_OK, Connect(access_.Get(), direct, &server));
    server.Reset();

    // No time at all: the worker never connects, however soon it starts.
    access_->put_Timeout(0);
    for (int i = 0; i < 20; ++i) EXPECT_HR(static_cast<HRESULT>(0x800705B4), Connect(access_.Get(), ConnectArgs{}, &server));
}

TEST_F(ObjectModel, GetClassFindsClassesAndReportsFailures) {
    ComPtr<IQvWMIServer> server;
    ASSERT_HR(S_OK, Connect(access_.Get(), ConnectArgs{}, &server));
    for (const wchar_t* name : {L"Win32_Service", L"Win32_Process"}) {
        Bstr path(name);
        ComPtr<IQvWMIClass> cls;
        ASSERT_HR(S_OK, server->GetClass(path.get(), &cls));
        Bstr objectPath;
        EXPECT_HR(S_OK, cls->get_ObjectPath(objectPath.put()));
        EXPECT_EQ(name, objectPath.str());
    }
    Bstr unknown(L"Win32_NoSuchClass");
    ComPtr<IQvWMIClass> cls;
    EXPECT_HR(static_cast<HRESULT>(0x80041002), server->GetClass(unknown.get(), &cls));
    ErrorRecord info = TakeErrorInfo();
    EXPECT_NE(std::wstring::npos,
              info.description.find(L" (ACTION: Server::GetClass) (CONTEXT: Failed to retrieve WMI object for the "
                                    L"specified path 'Win32_NoSuchClass'.)"))
        << std::string(info.description.begin(), info.description.end());

    Bstr empty(L"");
    EXPECT_HR(E_INVALIDARG, server->GetClass(empty.get(), nullptr)) << "the path is checked before ppClass";
    EXPECT_NE(std::wstring::npos,
              TakeErrorInfo().description.find(L"Argument 'bstrObjectPath' cannot be NULL or EMPTY."));
    EXPECT_HR(E_POINTER, server->GetClass(unknown.get(), nullptr));
    TakeErrorInfo();
}

TEST_F(ObjectModel, PropertiesListEveryNameInWmisOrder) {
    ComPtr<IQvWMIClass> cls = GetClass(L"Win32_Service");
    ASSERT_TRUE(cls);
    ComPtr<IQvWMIPropertyCollection> properties, again;
    ASSERT_HR(S_OK, cls->get_Properties(&properties));
    ASSERT_HR(S_OK, cls->get_Properties(&again));
    EXPECT_EQ(properties.Get(), again.Get()) << "the list is built once";

    ComPtr<IWbemClassObject> direct;
    Bstr name(L"Win32_Service");
    ASSERT_HR(S_OK, DirectServices()->GetObject(name.get(), 0, nullptr, &direct, nullptr));
    SAFEARRAY* names = nullptr;
    ASSERT_HR(S_OK, direct->GetNames(nullptr, WBEM_FLAG_ALWAYS, nullptr, &names));
    LONG upper = -1;
    SafeArrayGetUBound(names, 1, &upper);
    long count = 0;
    EXPECT_HR(S_OK, properties->get_Count(&count));
    EXPECT_EQ(upper + 1, count);
    for (LONG i = 0; i <= upper && i < count; ++i) {
        BSTR expected = nullptr;
        SafeArrayGetElement(names, &i, &expected);
        ComPtr<IQvWMIPropertyDescriptor> descriptor;
        EXPECT_HR(S_OK, properties->GetAt(i, &descriptor));
        Bstr actual;
        descriptor->get_Name(actual.put());
        EXPECT_EQ(std::wstring(expected), actual.str());
        SysFreeString(expected);
    }
    SafeArrayDestroy(names);

    ComPtr<IQvWMIPropertyDescriptor> byName;
    Bstr exact(L"State"), otherCase(L"state");
    EXPECT_HR(S_OK, properties->get_Item(exact.get(), &byName));
    EXPECT_HR(static_cast<HRESULT>(0x80041002), properties->get_Item(otherCase.get(), &byName));
}

TEST_F(ObjectModel, InstancesMatchTheSameQueryMadeDirectly) {
    ComPtr<IQvWMIClass> cls = GetClass(L"Win32_Service");
    ASSERT_TRUE(cls);
    const long all = DirectCount(L"SELECT * FROM Win32_Service");
    ASSERT_GT(all, 0);
    std::vector<Arg> noFilter;
    noFilter.emplace_back();
    noFilter.push_back(Arg::Of(VT_EMPTY));
    noFilter.push_back(Arg::Of(VT_NULL));
    noFilter.emplace_back(nullptr);
    noFilter.emplace_back(L"");
    for (const Arg& filter : noFilter) {
        ComPtr<IQvWMIInstanceCollection> instances;
        ASSERT_HR(S_OK, cls->get_Instances(filter, &instances));
        long count = 0;
        instances->get_Count(&count);
        EXPECT_EQ(all, count);
    }
    ComPtr<IQvWMIInstanceCollection> running;
    ASSERT_HR(S_OK, cls->get_Instances(Arg(L"State = 'Running'"), &running));
    long count = 0;
    running->get_Count(&count);
    EXPECT_EQ(DirectCount(L"SELECT * FROM Win32_Service WHERE State = 'Running'"), count);

    ComPtr<IQvWMIInstance> first;
    ASSERT_HR(S_OK, running->get_Item(0, &first));
    Bstr path, state(L"State"), wmiPath(L"__PATH");
    EXPECT_HR(S_OK, first->get_ObjectPath(path.put()));
    EXPECT_EQ(L"Win32_Service", path.str()) << "an instance carries the queried class's path";
    VARIANT value;
    VariantInit(&value);
    EXPECT_HR(S_OK, first->get_Field(state.get(), &value));
    EXPECT_EQ(VT_BSTR, V_VT(&value));
    EXPECT_EQ(std::wstring(L"Running"), V_BSTR(&value));
    VariantClear(&value);
    EXPECT_HR(S_OK, first->get_Field(wmiPath.get(), &value));
    EXPECT_EQ(VT_BSTR, V_VT(&value));
    VariantClear(&value);
}

TEST_F(ObjectModel, InvalidFiltersAreReported) {
    ComPtr<IQvWMIClass> cls = GetClass(L"Win32_Service");
    ASSERT_TRUE(cls);
    ComPtr<IQvWMIInstanceCollection> instances;
    EXPECT_HR(static_cast<HRESULT>(0x80041017), cls->get_Instances(Arg(L"State = = 'x"), &instances));
    EXPECT_NE(std::wstring::npos,
              TakeErrorInfo().description.find(L"(ACTION: Class::get_Instances) (CONTEXT: Failed to query instances "
                                               L"for the object with path 'Win32_Service'.)"));

    VARIANT otherError = MissingArgument();
    V_ERROR(&otherError) = E_FAIL;
    for (VARIANT filter : {static_cast<VARIANT>(Arg::Of(VT_I4, 1)), otherError}) {
        EXPECT_HR(E_INVALIDARG, cls->get_Instances(filter, nullptr)) << "the filter is checked before ppInstances";
        EXPECT_NE(std::wstring::npos,
                  TakeErrorInfo().description.find(L"Invalid argument('bstrWQLFilter') specified."));
    }
}

TEST_F(ObjectModel, EightThreadsShareOneClassObject) {
    ComPtr<IQvWMIClass> cls = GetClass(L"Win32_Process");
    ASSERT_TRUE(cls);
    const long expected = DirectCount(L"SELECT * FROM Win32_Process");
    std::atomic<IQvWMIPropertyCollection*> seen{nullptr};
    std::atomic<int> differentList{0}, wrongCount{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            ComApartment apartment;
            for (int i = 0; i < 5; ++i) {
                ComPtr<IQvWMIPropertyCollection> properties;
                if (FAILED(cls->get_Properties(&properties))) ++differentList;
                IQvWMIPropertyCollection* expectedList = nullptr;
                if (!seen.compare_exchange_strong(expectedList, properties.Get()) &&
                    expectedList != properties.Get())
                    ++differentList;
                ComPtr<IQvWMIInstanceCollection> instances;
                long count = -1;
                if (SUCCEEDED(cls->get_Instances(MissingArgument(), &instances))) instances->get_Count(&count);
                if (count != expected) ++wrongCount;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, differentList.load());
    EXPECT_EQ(0, wrongCount.load());
}

}  // namespace
