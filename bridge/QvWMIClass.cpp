#include "QvWMIClass.h"

#include <new>
#include <string>
#include <vector>

#include "ErrorReporting.h"
#include "InterfaceList.h"
#include "QvWMIPropertyCollection.h"
#include "QvWMIPropertyDescriptor.h"
#include "QvWMIServer.h"
#include "PropertyNames.h"
#include "VariantArgument.h"

using com::ComPtr;

CQvWMIClass::~CQvWMIClass() = default;

HRESULT CQvWMIClass::Create(CQvWMIServer* server, const wmi::Ref<IWbemClassObject>& classDefinition,
                            const wchar_t* objectPath, IQvWMIClass** ppClass) noexcept {
    ComPtr<CQvWMIClass> object = Make();
    if (!object) return ReportError(L"Class::Create", E_OUTOFMEMORY, IDS_CREATE_OBJECT_FAILED, L"Class");
    object->server_ = server;
    object->classDefinition_ = classDefinition;
    HRESULT hr = com::CopyBstr(objectPath, object->objectPath_.put());
    if (FAILED(hr)) return BareFailure(hr);
    hr = object->QueryInterface(IID_IQvWMIClass, reinterpret_cast<void**>(ppClass));
    if (FAILED(hr)) return ReportError(L"Class::Create", hr, IDS_CREATE_OBJECT_FAILED, L"Class");
    return S_OK;
}

STDMETHODIMP CQvWMIClass::get_ObjectPath(BSTR* pbstrObjectPath) {
    if (!pbstrObjectPath)
        return ReportError(L"Class::get_ObjectPath", E_POINTER, IDS_ARG_NULL, L"pbstrObjectPath");
    CAutoLock guard(*this);
    return com::CopyBstr(objectPath_.get(), pbstrObjectPath);
}

STDMETHODIMP CQvWMIClass::get_KeyProperties(IQvWMIPropertyCollection** ppProperties) {
    return CachedProperties(true, L"Class::get_KeyProperties", ppProperties);
}

STDMETHODIMP CQvWMIClass::get_Properties(IQvWMIPropertyCollection** ppProperties) {
    return CachedProperties(false, L"Class::get_Properties", ppProperties);
}

HRESULT CQvWMIClass::CachedProperties(bool keysOnly, const wchar_t* action, IQvWMIPropertyCollection** ppProperties) {
    if (!ppProperties) return ReportError(action, E_POINTER, IDS_ARG_NULL, L"ppProperties");
    *ppProperties = nullptr;
    CAutoLock guard(*this);
    ComPtr<IQvWMIPropertyCollection>& cache = keysOnly ? keyProperties_ : properties_;
    if (!cache) {
        const HRESULT hr = GetProperties(keysOnly, &cache);
        if (FAILED(hr)) return hr;
    }
    *ppProperties = cache.Get();
    (*ppProperties)->AddRef();
    return S_OK;
}

HRESULT CQvWMIClass::GetProperties(bool keysOnly, IQvWMIPropertyCollection** ppProperties) noexcept {
    static const wchar_t kAction[] = L"Class::GetProperties";
    com::UniqueBstr path;
    get_ObjectPath(path.put());
    const wchar_t* pathText = path ? path.get() : L"";

    wmi::Session session(StepTime(server_->Timeout()));
    SAFEARRAY* names = nullptr;
    HRESULT hr = session.GetNames(classDefinition_, keysOnly ? WBEM_FLAG_KEYS_ONLY : WBEM_FLAG_ALWAYS, &names);
    if (FAILED(hr)) return ReportError(kAction, hr, IDS_QUERY_PROPERTIES_FAILED, pathText);
    std::vector<com::UniqueBstr> nameList;
    hr = CopyNames(names, &nameList);
    if (FAILED(hr)) return ReportError(kAction, hr, IDS_QUERY_PROPERTIES_FAILED, pathText);

    InterfaceList<IQvWMIPropertyDescriptor> descriptors;
    for (const com::UniqueBstr& name : nameList) {
        IQvWMIPropertyDescriptor* descriptor = nullptr;
        hr = CQvWMIPropertyDescriptor::Create(session, name.get(), classDefinition_, &descriptor);
        if (FAILED(hr)) return ReportError(kAction, hr, IDS_QUERY_PROPERTIES_FAILED, pathText);
        if (!descriptors.Adopt(descriptor)) return ReportError(kAction, E_OUTOFMEMORY, IDS_QUERY_PROPERTIES_FAILED, pathText);
    }
    return CQvWMIPropertyCollection::Create(descriptors.data(), descriptors.size(), ppProperties);
}

STDMETHODIMP CQvWMIClass::get_Instances(VARIANT bstrWQLFilter, IQvWMIInstanceCollection** ppInstances) {
    com::UniqueBstr path;
    get_ObjectPath(path.put());
    return server_->QueryInstances(L"Class::get_Instances", path ? path.get() : L"", bstrWQLFilter, ppInstances);
}
