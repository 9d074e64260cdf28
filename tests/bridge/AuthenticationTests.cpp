// How the bridge authenticates against the double's domain: each service
// with each form of account, on a computer that allows NTLM, one that refuses
// it and one named by its address; levels that stay each access object's
// own while other threads put theirs; a namespace that requires privacy.
#include <wbemidl.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "../../common/ConnectionAccount.h"
#include "BridgeClient.h"
#include "WmiDouble.h"
#include "qvWMI_h.h"

namespace {

const HRESULT kDenied = E_ACCESSDENIED;
const HRESULT kTargetUnknown = static_cast<HRESULT>(0x80090303);
const HRESULT kWbemDenied = static_cast<HRESULT>(WBEM_E_ACCESS_DENIED);

class Authentication : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HR(S_OK, apartment_.result());
        WmiDoubleReset();
    }
    void TearDown() override {
        WmiDoubleCancelStalls();
        EXPECT_HR(S_OK, BridgeCanUnload(5000)) << "an object of the bridge leaked";
        EXPECT_EQ(0, WmiDoubleLiveObjects()) << "a WMI object was not released";
    }

    static ComPtr<IQvWMIAccess2> NewAccess(EQvWMIAuthenticationService service, EQvWMIAuthenticationLevel level) {
        ComPtr<IQvWMIAccess2> access;
        EXPECT_HR(S_OK, CoCreateInstance(CLSID_QvWMIAccess, nullptr, CLSCTX_INPROC_SERVER, IID_IQvWMIAccess2,
                                         &access));
        if (!access) return access;
        EXPECT_HR(S_OK, access->put_AuthenticationService(service));
        EXPECT_HR(S_OK, access->put_AuthenticationLevel(level));
        EXPECT_HR(S_OK, access->put_ImpersonationLevel(QV_WMI_IMPERSONATION_LEVEL_IMPERSONATE));
        EXPECT_HR(S_OK, access->Initialize());
        return access;
    }

    // Connects and fetches a class (a call through the services proxy and
    // its call result): the first failure, else S_OK and *service the
    // mechanism the connection reports.
    static HRESULT Check(IQvWMIAccess2* access, const wchar_t* server, const wchar_t* user, const wchar_t* password,
                         long* service, const wchar_t* nameSpace = nullptr) {
        ConnectArgs args;
        args.server = Arg(server);
        args.nameSpace = TextOrMissing(nameSpace);
        args.user = Arg(user);
        args.password = Arg(password);
        ComPtr<IQvWMIServer> connected;
        HRESULT hr = Connect(access, args, &connected);
        if (FAILED(hr)) return hr;
        ComPtr<IQvWMIServer3> server3;
        hr = connected.As(&server3);
        if (SUCCEEDED(hr)) hr = server3->get_AuthenticationService(service);
        ComPtr<IQvWMIClass> cls;
        Bstr path(L"Win32_OperatingSystem");
        return SUCCEEDED(hr) ? connected->GetClass(path.get(), &cls) : hr;
    }

    ComApartment apartment_;
};

// Every blanket of a check, as the double recorded them: "authn=<n> authz=0
// principal=<p>" when all agree, else the first that differs.
std::wstring Blankets(const std::wstring& record) {
    std::wstring common;
    for (const std::wstring& line : WmiDoubleRecordLines(record, L"SetBlanket")) {
        const size_t from = line.find(L"authn="), to = line.find(L" level=");
        const std::wstring blanket = line.substr(from, to - from);
        if (common.empty()) common = blanket;
        else if (blanket != common) return L"differs: " + blanket;
    }
    return common;
}

TEST_F(Authentication, EachServiceWithEachAccountOnEachKindOfComputer) {
    const EQvWMIAuthenticationService kNegotiate = QV_WMI_AUTHENTICATION_SERVICE_NEGOTIATE,
                                      kKerberos = QV_WMI_AUTHENTICATION_SERVICE_KERBEROS,
                                      kNtlm = QV_WMI_AUTHENTICATION_SERVICE_NTLM;
    const wchar_t *monitor = L"CORP\\monitor", *upn = L"monitor@corp.example", *protmon = L"CORP\\protmon",
                  *local = L"localmon";
    const std::map<std::wstring, const wchar_t*> passwords = {
        {monitor, L"M0nitor!"}, {upn, L"M0nitor!"}, {protmon, L"Pr0tected!"}, {local, L"L0calmon!"}};
    const std::wstring negotiated = L"authn=4294967295 authz=0 principal=(default)",
                       ntlm = L"authn=10 authz=0 principal=(null)";
    auto kerberos = [](const wchar_t* principal) {
        return L"authn=16 authz=0 principal=\"" + std::wstring(principal) + L"\"";
    };
    const struct Case {
        EQvWMIAuthenticationService service;
        const wchar_t *user, *server;
        std::wstring blankets;  // empty: the connection was refused
        HRESULT result;
        long mechanism;  // what the connection reports, on success
    } cases[] = {
        {kNegotiate, monitor, L"APP01", negotiated, S_OK, 16},
        {kNegotiate, monitor, L"HARD01", negotiated, S_OK, 16},
        {kNegotiate, monitor, L"192.0.2.21", negotiated, S_OK, 10},
        {kNegotiate, upn, L"APP01", negotiated, S_OK, 16},
        {kNegotiate, upn, L"HARD01", negotiated, S_OK, 16},
        {kNegotiate, upn, L"192.0.2.21", negotiated, S_OK, 10},
        {kNegotiate, protmon, L"APP01", negotiated, S_OK, 16},
        {kNegotiate, protmon, L"HARD01", negotiated, S_OK, 16},
        {kNegotiate, protmon, L"192.0.2.21", L"", kDenied, 0},
        {kNegotiate, local, L"APP01", negotiated, S_OK, 10},
        {kNegotiate, local, L"HARD01", L"", kDenied, 0},
        {kNegotiate, local, L"192.0.2.21", negotiated, S_OK, 10},

        {kKerberos, monitor, L"APP01", kerberos(L"CORP\\APP01"), S_OK, 16},
        {kKerberos, monitor, L"HARD01", kerberos(L"CORP\\HARD01"), S_OK, 16},
        {kKerberos, monitor, L"192.0.2.21", L"", kTargetUnknown, 0},
        {kKerberos, upn, L"APP01", kerberos(L"corp.example\\APP01"), S_OK, 16},
        {kKerberos, upn, L"HARD01", kerberos(L"corp.example\\HARD01"), S_OK, 16},
        {kKerberos, upn, L"192.0.2.21", L"", kTargetUnknown, 0},
        {kKerberos, protmon, L"APP01", kerberos(L"CORP\\APP01"), S_OK, 16},
        {kKerberos, protmon, L"HARD01", kerberos(L"CORP\\HARD01"), S_OK, 16},
        {kKerberos, protmon, L"192.0.2.21", L"", kTargetUnknown, 0},
        {kKerberos, local, L"APP01", L"", kDenied, 0},
        {kKerberos, local, L"HARD01", L"", kDenied, 0},
        {kKerberos, local, L"192.0.2.21", L"", kTargetUnknown, 0},

        {kNtlm, monitor, L"APP01", ntlm, S_OK, 10},
        {kNtlm, monitor, L"HARD01", L"", kDenied, 0},
        {kNtlm, monitor, L"192.0.2.21", ntlm, S_OK, 10},
        // Connected by Kerberos, then forced to NTLM by the blanket.
        {kNtlm, upn, L"APP01", ntlm, S_OK, 10},
        {kNtlm, upn, L"HARD01", ntlm, kDenied, 10},
        {kNtlm, upn, L"192.0.2.21", ntlm, S_OK, 10},
        {kNtlm, protmon, L"APP01", L"", kDenied, 0},
        {kNtlm, protmon, L"HARD01", L"", kDenied, 0},
        {kNtlm, protmon, L"192.0.2.21", L"", kDenied, 0},
        {kNtlm, local, L"APP01", ntlm, S_OK, 10},
        {kNtlm, local, L"HARD01", L"", kDenied, 0},
        {kNtlm, local, L"192.0.2.21", ntlm, S_OK, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "service " << c.service << ", " << Narrow(c.user) << " on "
                                        << Narrow(c.server));
        WmiDoubleReset();
        long mechanism = 0;
        {
            ComPtr<IQvWMIAccess2> access = NewAccess(c.service, QV_WMI_AUTHENTICATION_LEVEL_PKT_PRIVACY);
            EXPECT_HR(c.result, Check(access.Get(), c.server, c.user, passwords.at(c.user), &mechanism));
        }
        const std::wstring record = WmiDoubleRecordText();
        EXPECT_EQ(c.blankets, Blankets(record)) << Narrow(record);
        EXPECT_EQ(c.mechanism, mechanism);
    }
}

// Two host threads, each with its own access object, put different levels
// and connect at the same time: each connection's blankets keep the level
// put through its own object.
TEST_F(Authentication, EachAccessObjectsLevelsStayWithItsConnections) {
    const struct {
        const wchar_t *user, *password, *account;
        EQvWMIAuthenticationLevel level;
    } checks[] = {{L"CORP\\monitor", L"M0nitor!", L"CORP\\monitor", QV_WMI_AUTHENTICATION_LEVEL_PKT_PRIVACY},
                  {L"localmon", L"L0calmon!", L"APP01\\localmon", QV_WMI_AUTHENTICATION_LEVEL_CONNECT}};
    for (int round = 0; round < 4; ++round) {
        WmiDoubleReset();
        std::vector<std::thread> threads;
        volatile LONG ready = 0;
        for (const auto& check : checks) {
            threads.emplace_back([&check, &ready] {
                ComApartment apartment;
                ComPtr<IQvWMIAccess2> access = NewAccess(QV_WMI_AUTHENTICATION_SERVICE_NTLM, check.level);
                InterlockedIncrement(&ready);
                while (ready < 2) Sleep(0);
                for (int i = 0; i < 3; ++i) {
                    access->put_AuthenticationLevel(check.level);
                    long mechanism = 0;
                    EXPECT_HR(S_OK, Check(access.Get(), L"APP01", check.user, check.password, &mechanism));
                }
            });
        }
        for (std::thread& thread : threads) thread.join();

        // Which account each connection is, then every blanket's level.
        const std::wstring record = WmiDoubleRecordText();
        std::map<std::wstring, std::wstring> accountOf;  // connection number -> account
        for (const std::wstring& line : WmiDoubleRecordLines(record, L"Activation")) {
            const size_t number = line.find(L"connection=") + 11, account = line.find(L"account=") + 8;
            accountOf[line.substr(number, line.find(L' ', number) - number)] = line.substr(account);
        }
        ASSERT_EQ(6u, accountOf.size()) << Narrow(record);
        size_t blankets = 0;
        for (const std::wstring& line : WmiDoubleRecordLines(record, L"SetBlanket")) {
            const std::wstring account = accountOf[line.substr(line.find(L"connection=") + 11)];
            for (const auto& check : checks)
                if (account == check.account) {
                    EXPECT_NE(std::wstring::npos, line.find(L" level=" + std::to_wstring(check.level) + L" "))
                        << Narrow(line);
                    ++blankets;
                }
        }
        EXPECT_EQ(6u * 4, blankets) << "services and call result, each with its IUnknown";
    }
}

// root\MSCluster requires privacy: activation, raised to integrity, always
// connects; calls through a proxy below privacy are refused.
TEST_F(Authentication, ANamespaceThatRequiresPrivacyRefusesLowerLevels) {
    const struct {
        EQvWMIAuthenticationLevel level;
        HRESULT result;
    } cases[] = {{QV_WMI_AUTHENTICATION_LEVEL_DEFAULT, kWbemDenied},
                 {QV_WMI_AUTHENTICATION_LEVEL_CONNECT, kWbemDenied},
                 {QV_WMI_AUTHENTICATION_LEVEL_PKT_INTEGRITY, kWbemDenied},
                 {QV_WMI_AUTHENTICATION_LEVEL_PKT_PRIVACY, S_OK}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        WmiDoubleReset();
        long mechanism = 0;
        {
            ComPtr<IQvWMIAccess2> access = NewAccess(QV_WMI_AUTHENTICATION_SERVICE_KERBEROS, c.level);
            EXPECT_HR(c.result,
                      Check(access.Get(), L"APP01", L"CORP\\monitor", L"M0nitor!", &mechanism, L"root\\MSCluster"));
        }
        const std::vector<std::wstring> activation = WmiDoubleRecordLines(WmiDoubleRecordText(), L"Activation");
        ASSERT_EQ(1u, activation.size());
        EXPECT_NE(std::wstring::npos, activation[0].find(L" authn=16 level=5 ")) << Narrow(activation[0]);
    }
}

// The one rule of what reaches WMI for each service, shared with wmicheck:
// the forms the table above does not reach.
TEST(ServiceAccount, WhatEachServiceSends) {
    using com::AuthenticationService;
    const struct {
        const wchar_t *server, *user, *domain;
        AuthenticationService service;
        const wchar_t *sentUser, *authority, *principal;
    } cases[] = {
        {L"SRV01", L"CORP/monitor", nullptr, AuthenticationService::Negotiate, L"CORP\\monitor", L"", L""},
        {L"SRV01", L"monitor", L"CORP", AuthenticationService::Kerberos, L"CORP\\monitor",
         L"kerberos:CORP\\SRV01", L"CORP\\SRV01"},
        {L"SRV01", L"localmon", nullptr, AuthenticationService::Kerberos, L"SRV01\\localmon", L"kerberos:SRV01",
         L"SRV01"},
        {L".", L"CORP\\monitor", nullptr, AuthenticationService::Kerberos, L"CORP\\monitor", L"", L""},
    };
    for (const auto& c : cases) {
        const std::wstring domain = c.domain ? c.domain : L"";
        const com::ConnectionAccount account = com::AccountOfConnection(c.server, c.user, c.domain ? &domain : nullptr);
        const com::ServiceAccount sent = com::AccountForService(c.server, c.user, account, c.service);
        EXPECT_EQ(c.sentUser, sent.user) << Narrow(c.user);
        EXPECT_EQ(c.authority, sent.authority) << Narrow(c.user);
        EXPECT_EQ(c.principal, sent.principal) << Narrow(c.user);
    }
}

}  // namespace
