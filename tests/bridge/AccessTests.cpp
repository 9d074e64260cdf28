// The access object as a client sees it: created by ProgID through the
// registered DLL, driven through its dual interface and through IDispatch.
#include <atomic>
#include <thread>

#include "TestSupport.h"
#include "qvWMI_h.h"

namespace {

class Access : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HR(S_OK, apartment_.result());
        CLSID clsid;
        ASSERT_HR(S_OK, CLSIDFromProgID(L"QvWMI.Access", &clsid)) << "the bridge must be registered";
        ASSERT_HR(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IQvWMIAccess, &access_));
    }
    ComPtr<IQvWMIAccess> NewAccess() {
        ComPtr<IQvWMIAccess> other;
        EXPECT_HR(S_OK, CoCreateInstance(CLSID_QvWMIAccess, nullptr, CLSCTX_INPROC_SERVER, IID_IQvWMIAccess,
                                         &other));
        return other;
    }

    ComApartment apartment_;
    ComPtr<IQvWMIAccess> access_;
};

TEST_F(Access, NewObjectHasDefaults) {
    long timeout = 0;
    EXPECT_HR(S_OK, access_->get_Timeout(&timeout));
    EXPECT_EQ(120000, timeout);
    EQvWMIImpersonationLevel impersonation = QV_WMI_IMPERSONATION_LEVEL_DELEGATE;
    EXPECT_HR(S_OK, access_->get_ImpersonationLevel(&impersonation));
    EXPECT_EQ(QV_WMI_IMPERSONATION_LEVEL_DEFAULT, impersonation);
    EQvWMIAuthenticationLevel authentication = QV_WMI_AUTHENTICATION_LEVEL_PKT;
    EXPECT_HR(S_OK, access_->get_AuthenticationLevel(&authentication));
    EXPECT_EQ(QV_WMI_AUTHENTICATION_LEVEL_DEFAULT, authentication);
}

TEST_F(Access, LevelsAreSharedByEveryAccessObjectOfTheProcess) {
    ComPtr<IQvWMIAccess> other = NewAccess();
    EXPECT_HR(S_OK, access_->put_ImpersonationLevel(QV_WMI_IMPERSONATION_LEVEL_IMPERSONATE));
    EXPECT_HR(S_OK, access_->put_AuthenticationLevel(QV_WMI_AUTHENTICATION_LEVEL_PKT_PRIVACY));
    EQvWMIImpersonationLevel impersonation;
    EQvWMIAuthenticationLevel authentication;
    EXPECT_HR(S_OK, other->get_ImpersonationLevel(&impersonation));
    EXPECT_HR(S_OK, other->get_AuthenticationLevel(&authentication));
    EXPECT_EQ(QV_WMI_IMPERSONATION_LEVEL_IMPERSONATE, impersonation);
    EXPECT_EQ(QV_WMI_AUTHENTICATION_LEVEL_PKT_PRIVACY, authentication);

    // Values outside the enumerations are stored as given.
    EXPECT_HR(S_OK, other->put_AuthenticationLevel(static_cast<EQvWMIAuthenticationLevel>(77)));
    EXPECT_HR(S_OK, access_->get_AuthenticationLevel(&authentication));
    EXPECT_EQ(77, authentication);

    access_->put_ImpersonationLevel(QV_WMI_IMPERSONATION_LEVEL_DEFAULT);
    access_->put_AuthenticationLevel(QV_WMI_AUTHENTICATION_LEVEL_DEFAULT);
}

TEST_F(Access, TimeoutKeepsEveryValueButBelongsToItsObject) {
    for (long value : {-1L, -5L, 0L, 1L, 300L, LONG_MIN, LONG_MAX}) {
        long read = 12345;
        EXPECT_HR(S_OK, access_->put_Timeout(value));
        EXPECT_HR(S_OK, access_->get_Timeout(&read));
        EXPECT_EQ(value, read);
    }
    long other = 0;
    EXPECT_HR(S_OK, NewAccess()->get_Timeout(&other));
    EXPECT_EQ(120000, other);
}

TEST_F(Access, NullTimeoutPointerIsReported) {
    EXPECT_HR(E_POINTER, access_->get_Timeout(nullptr));
    ErrorRecord info = TakeErrorInfo();
    ASSERT_TRUE(info.present);
    EXPECT_EQ(BaseText(E_POINTER) +
                  L" (ACTION: Component::get_Timeout) (CONTEXT: Argument 'plTimeout' cannot be NULL)",
              info.description);
    EXPECT_EQ(L"Tolvane's WMI checker", info.source);
    EXPECT_TRUE(IsEqualGUID(CLSID_QvWMIAccess, info.guid));

    ComPtr<ISupportErrorInfo> support;
    ASSERT_HR(S_OK, access_.As(&support));
    EXPECT_HR(S_OK, support->InterfaceSupportsErrorInfo(IID_IQvWMIAccess));
    EXPECT_HR(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IDispatch));
}

// The service belongs to its object; an unknown one is refused through the
// error path and changes nothing. IQvWMIAccess2 and IQvWMIAccess are one
// object, both with error information.
TEST_F(Access, AuthenticationServiceIsTheObjectsOwn) {
    ComPtr<IQvWMIAccess2> access2, other;
    ASSERT_HR(S_OK, access_.As(&access2));
    ASSERT_HR(S_OK, NewAccess().As(&other));
    EQvWMIAuthenticationService service = QV_WMI_AUTHENTICATION_SERVICE_KERBEROS;
    EXPECT_HR(S_OK, access2->get_AuthenticationService(&service));
    EXPECT_EQ(QV_WMI_AUTHENTICATION_SERVICE_NTLM, service);
    EXPECT_HR(S_OK, access2->put_AuthenticationService(QV_WMI_AUTHENTICATION_SERVICE_NEGOTIATE));
    for (auto refused : {-1, 3}) {
        EXPECT_HR(E_INVALIDARG, access2->put_AuthenticationService(static_cast<EQvWMIAuthenticationService>(refused)));
        const ErrorRecord info = TakeErrorInfo();
        EXPECT_NE(std::wstring::npos, info.description.find(L"'eService'")) << Narrow(info.description);
    }
    EXPECT_HR(S_OK, access2->get_AuthenticationService(&service));
    EXPECT_EQ(QV_WMI_AUTHENTICATION_SERVICE_NEGOTIATE, service);
    EXPECT_HR(S_OK, other->get_AuthenticationService(&service));
    EXPECT_EQ(QV_WMI_AUTHENTICATION_SERVICE_NTLM, service);

    ComPtr<ISupportErrorInfo> support;
    ASSERT_HR(S_OK, access2.As(&support));
    EXPECT_HR(S_OK, support->InterfaceSupportsErrorInfo(IID_IQvWMIAccess2));
    EXPECT_HR(S_OK, support->InterfaceSupportsErrorInfo(IID_IQvWMIAccess));
}

TEST_F(Access, InitializeSucceedsAgain) {
    EXPECT_HR(S_OK, access_->Initialize());
    EXPECT_HR(S_OK, access_->Initialize());
    EXPECT_HR(S_OK, NewAccess()->Initialize());
}

TEST_F(Access, QueryInterfaceAnswersItsInterfacesWithOneIdentity) {
    ComPtr<IUnknown> unknown1, unknown2;
    ComPtr<IDispatch> dispatch;
    ASSERT_HR(S_OK, access_.As(&unknown1));
    ASSERT_HR(S_OK, access_.As(&dispatch));
    ASSERT_HR(S_OK, dispatch.As(&unknown2));
    EXPECT_EQ(unknown1.Get(), unknown2.Get());
    ComPtr<IQvWMIServer> wrong;
    EXPECT_HR(E_NOINTERFACE, access_.As(&wrong));
    EXPECT_EQ(nullptr, wrong.Get());
}

TEST_F(Access, LateBoundThroughTheTypeLibrary) {
    ComPtr<IDispatch> dispatch;
    ASSERT_HR(S_OK, access_.As(&dispatch));
    LPOLESTR name = const_cast<LPOLESTR>(L"Timeout");
    DISPID id = 0;
    ASSERT_HR(S_OK, dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
    EXPECT_EQ(1, id);

    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_I4;
    V_I4(&value) = 4500;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS put = {&value, &named, 1, 1};
    EXPECT_HR(S_OK, dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &put, nullptr,
                                     nullptr, nullptr));
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXPECT_HR(S_OK, dispatch->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result,
                                     nullptr, nullptr));
    EXPECT_EQ(VT_I4, V_VT(&result));
    EXPECT_EQ(4500, V_I4(&result));

    name = const_cast<LPOLESTR>(L"NoSuchMember");
    EXPECT_HR(DISP_E_UNKNOWNNAME, dispatch->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
}

// Two threads setting and reading Timeout at once: every read is one of the
// values written, never a mix.
TEST_F(Access, ConcurrentTimeoutAccessSeesWholeValues) {
    std::atomic<bool> torn{false};
    auto worker = [&] {
        ComApartment apartment;
        for (int i = 0; i < 20000; ++i) {
            access_->put_Timeout((i & 1) ? 0x11111111 : 0x22222222);
            long read = 0;
            access_->get_Timeout(&read);
            if (read != 0x11111111 && read != 0x22222222) torn = true;
        }
    };
    std::thread first(worker), second(worker);
    first.join();
    second.join();
    EXPECT_FALSE(torn);
}

}  // namespace
