// A client in a single-threaded apartment, like the check plug-in: the
// bridge is registered free-threaded, so its access, server and class
// objects reach the client as proxies marshalled with the type library.
#include "TestSupport.h"
#include "qvWMI_h.h"

namespace {

TEST(CrossApartment, SingleThreadedClientWalksTheWholeModel) {
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    ComPtr<IQvWMIAccess> access;
    ASSERT_HR(S_OK, CoCreateInstance(CLSID_QvWMIAccess, nullptr, CLSCTX_INPROC_SERVER, IID_IQvWMIAccess, &access));
    ComPtr<IClientSecurity> proxy;
    ASSERT_HR(S_OK, access.As(&proxy)) << "the client holds a proxy, not the object";

    ASSERT_HR(S_OK, access->put_Timeout(60000));
    ASSERT_HR(S_OK, access->Initialize());
    ComPtr<IQvWMIServer> server;
    ASSERT_HR(S_OK, access->Connect(MissingArgument(), MissingArgument(), MissingArgument(), MissingArgument(), MissingArgument(), MissingArgument(), MissingArgument(),
                                    &server));
    Bstr path(L"Win32_Process");
    ComPtr<IQvWMIClass> cls;
    ASSERT_HR(S_OK, server->GetClass(path.get(), &cls));
    ComPtr<IQvWMIPropertyCollection> properties;
    ASSERT_HR(S_OK, cls->get_Properties(&properties));
    ComPtr<IQvWMIInstanceCollection> instances;
    ASSERT_HR(S_OK, cls->get_Instances(MissingArgument(), &instances));
    long count = 0;
    ASSERT_HR(S_OK, instances->get_Count(&count));
    ASSERT_GT(count, 0);

    // Walk every instance with the enumerator and read every property by name.
    ComPtr<IUnknown> unknown;
    ASSERT_HR(S_OK, instances->get__NewEnum(&unknown));
    ComPtr<IEnumVARIANT> items;
    ASSERT_HR(S_OK, unknown.As(&items));
    long walked = 0;
    VARIANT item;
    VariantInit(&item);
    while (items->Next(1, &item, nullptr) == S_OK) {
        ASSERT_EQ(VT_DISPATCH, V_VT(&item));
        ComPtr<IQvWMIInstance> instance;
        ASSERT_HR(S_OK, V_DISPATCH(&item)->QueryInterface(IID_IQvWMIInstance, reinterpret_cast<void**>(instance.GetAddressOf())));
        VariantClear(&item);
        long fields = 0;
        instance->get_Count(&fields);
        for (long i = 0; i < fields; ++i) {
            ComPtr<IQvWMIPropertyDescriptor> property;
            ASSERT_HR(S_OK, properties->GetAt(i, &property));
            Bstr name;
            property->get_Name(name.put());
            VARIANT value;
            VariantInit(&value);
            EXPECT_HR(S_OK, instance->get_Field(name.get(), &value));
            VariantClear(&value);
        }
        ++walked;
    }
    EXPECT_EQ(count, walked);
}

TEST(CrossApartment, FailureThroughInvokeCarriesTheDescription) {
    ComApartment apartment(COINIT_APARTMENTTHREADED);
    ComPtr<IDispatch> access;
    ASSERT_HR(S_OK, CoCreateInstance(CLSID_QvWMIAccess, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &access));
    ComPtr<IQvWMIAccess> typed;
    ASSERT_HR(S_OK, access.As(&typed));
    ASSERT_HR(S_OK, typed->Initialize());
    ComPtr<IQvWMIServer> server;
    ASSERT_HR(S_OK, typed->Connect(MissingArgument(), MissingArgument(), MissingArgument(), MissingArgument(), MissingArgument(), MissingArgument(), MissingArgument(),
                                   &server));
    ComPtr<IDispatch> serverDispatch;
    ASSERT_HR(S_OK, server.As(&serverDispatch));

    VARIANT argument;
    VariantInit(&argument);
    V_VT(&argument) = VT_BSTR;
    V_BSTR(&argument) = SysAllocString(L"Win32_NoSuchClass");
    DISPPARAMS params = {&argument, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception = {};
    const HRESULT hr = serverDispatch->Invoke(8, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result,
                                              &exception, nullptr);
    VariantClear(&argument);
    EXPECT_HR(DISP_E_EXCEPTION, hr);
    EXPECT_HR(static_cast<HRESULT>(0x80041002), exception.scode);
    std::wstring description = exception.bstrDescription ? exception.bstrDescription : L"";
    EXPECT_NE(std::wstring::npos, description.find(L"(ACTION: Server::GetClass) (CONTEXT: Failed to retrieve WMI "
                                                   L"object for the specified path 'Win32_NoSuchClass'.)"));
    EXPECT_EQ(std::wstring(L"Tolvane's WMI checker"), exception.bstrSource ? exception.bstrSource : L"");
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrHelpFile);
}

}  // namespace
