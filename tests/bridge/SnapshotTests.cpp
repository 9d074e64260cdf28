// The snapshot objects (instances, instance collections, property
// descriptors, property collections and their enumerators), built by their
// Create functions from Wine's real WMI objects, and from small fakes where
// Wine cannot produce the case: qualifiers, interface values, failing calls.
// Every test ends with the module's lock count where it began: no object leaks.
#include <wbemidl.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "ErrorReporting.h"
#include "QvWMIInstance.h"
#include "QvWMIInstanceCollection.h"
#include "QvWMIPropertyCollection.h"
#include "QvWMIPropertyDescriptor.h"
#include "TestSupport.h"

namespace {

// A VARIANT as comparable text: its type, then its value or its elements;
// interfaces by address.
std::wstring Describe(const VARIANT& value) {
    std::wstring text = std::to_wstring(V_VT(&value)) + L":";
    const VARTYPE element = V_VT(&value) & VT_TYPEMASK;
    if (V_VT(&value) & VT_ARRAY) {
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(V_ARRAY(&value), 1, &lower);
        SafeArrayGetUBound(V_ARRAY(&value), 1, &upper);
        for (LONG i = lower; i <= upper; ++i) {
            VARIANT item;
            VariantInit(&item);
            V_VT(&item) = element;
            SafeArrayGetElement(V_ARRAY(&value), &i, &V_UI1(&item));
            text += L"[" + Describe(item) + L"]";
            VariantClear(&item);
        }
    } else if (element == VT_UNKNOWN || element == VT_DISPATCH) {
        text += std::to_wstring(reinterpret_cast<uintptr_t>(V_UNKNOWN(&value)));
    } else {
        VARIANT converted;
        VariantInit(&converted);
        if (SUCCEEDED(VariantChangeType(&converted, const_cast<VARIANT*>(&value), 0, VT_BSTR)))
            text += V_BSTR(&converted);
        VariantClear(&converted);
    }
    return text;
}

// How the enumerators describe an interface item.
std::wstring Describe(IUnknown* object) {
    VARIANT value;
    V_VT(&value) = VT_DISPATCH;
    V_UNKNOWN(&value) = object;
    return Describe(value);
}

// A new VARIANT: a number converted to vt, or a string.
VARIANT Var(VARTYPE vt, double number) {
    VARIANT value;
    V_VT(&value) = VT_R8;
    V_R8(&value) = number;
    VariantChangeType(&value, &value, 0, vt);
    return value;
}
VARIANT Null() {
    VARIANT value;
    V_VT(&value) = VT_NULL;
    return value;
}
VARIANT Text(const wchar_t* text) {
    VARIANT value;
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = SysAllocString(text);
    return value;
}

std::wstring Expected(HRESULT hr, const wchar_t* action, const std::wstring& context) {
    return BaseText(hr) + L" (ACTION: " + action + L") (CONTEXT: " + context + L")";
}

void SetStaleErrorInfo() { ReportError(L"Earlier::Call", E_FAIL, IDS_INVALID_STATE); }

std::vector<std::wstring> NamesOf(IWbemClassObject* object) {
    std::vector<std::wstring> names;
    SAFEARRAY* array = nullptr;
    if (FAILED(object->GetNames(nullptr, WBEM_FLAG_ALWAYS, nullptr, &array))) return names;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    for (LONG i = lower; i <= upper; ++i) {
        Bstr name;
        SafeArrayGetElement(array, &i, name.put());
        names.push_back(name.str());
    }
    SafeArrayDestroy(array);
    return names;
}

// The result of a late-bound call of a collection's default member with one argument.
std::wstring InvokeDefault(IUnknown* collection, VARIANT argument) {
    ComPtr<IDispatch> dispatch;
    collection->QueryInterface(IID_PPV_ARGS(&dispatch));
    DISPPARAMS one = {&argument, nullptr, 1, 0};
    VARIANT result;
    VariantInit(&result);
    const HRESULT hr =
        dispatch->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &one, &result, nullptr, nullptr);
    std::wstring text = SUCCEEDED(hr) ? Describe(result) : L"failed " + std::to_wstring(hr);
    VariantClear(&result);
    VariantClear(&argument);
    return text;
}

// A collection's enumerator as a late-bound client gets it.
ComPtr<IEnumVARIANT> EnumeratorOf(IUnknown* collection) {
    ComPtr<IDispatch> dispatch;
    ComPtr<IEnumVARIANT> enumerator;
    if (FAILED(collection->QueryInterface(IID_PPV_ARGS(&dispatch)))) return enumerator;
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    dispatch->Invoke(DISPID_NEWENUM, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result, nullptr,
                     nullptr);
    if (V_VT(&result) == VT_UNKNOWN && V_UNKNOWN(&result)) V_UNKNOWN(&result)->QueryInterface(IID_PPV_ARGS(&enumerator));
    VariantClear(&result);
    return enumerator;
}

// Texts of the items that Next(celt) hands out, checking its result.
std::vector<std::wstring> NextTexts(IEnumVARIANT* enumerator, ULONG celt, HRESULT expected) {
    std::vector<VARIANT> items(celt + 1);
    ULONG fetched = 99;
    EXPECT_HR(expected, enumerator->Next(celt, items.data(), &fetched));
    std::vector<std::wstring> texts;
    for (ULONG i = 0; i < fetched && i < celt; ++i) {
        texts.push_back(Describe(items[i]));
        VariantClear(&items[i]);
    }
    return texts;
}

bool Answers(IUnknown* object, REFIID iid) {
    ComPtr<IUnknown> answer;
    return SUCCEEDED(object->QueryInterface(iid, reinterpret_cast<void**>(answer.GetAddressOf())));
}

// A descriptor's qualifier fields in one text:
// display name|description|key,readable,writable,required|max value,min value,max length.
std::wstring QualifierFields(IQvWMIPropertyDescriptor* d) {
    Bstr display(L"x"), description(L"x");
    VARIANT_BOOL key = 1, readable = 1, writable = 1, required = 1;
    int maxValue = 1, minValue = 1, maxLength = 1;
    d->get_DisplayName(display.put());
    d->get_Description(description.put());
    d->get_IsKey(&key);
    d->get_IsReadable(&readable);
    d->get_IsWritable(&writable);
    d->get_IsRequired(&required);
    d->get_MaxValue(&maxValue);
    d->get_MinValue(&minValue);
    d->get_MaxLength(&maxLength);
    std::wostringstream out;
    out << (display.null() ? L"null" : display.str()) << L"|" << (description.null() ? L"null" : description.str())
        << L"|" << key << L"," << readable << L"," << writable << L"," << required << L"|" << maxValue << L","
        << minValue << L"," << maxLength;
    return out.str();
}

// ---------------------------------------------------------------------------
// Fakes of WMI's class object and qualifier set, answering what the snapshots call.

struct Qualifier {
    std::wstring name;
    VARIANT value;  // owned by the fake object
};

class FakeQualifiers final : public com::ComObject<FakeQualifiers, IWbemQualifierSet> {
public:
    explicit FakeQualifiers(const std::vector<Qualifier>& qualifiers) : qualifiers_(qualifiers) {}
    STDMETHODIMP Get(LPCWSTR name, LONG, VARIANT* value, LONG*) override {
        for (const Qualifier& q : qualifiers_)
            if (q.name == name) return VariantCopy(value, const_cast<VARIANT*>(&q.value));
        return WBEM_E_NOT_FOUND;
    }
    STDMETHODIMP Put(LPCWSTR, VARIANT*, LONG) override { return E_NOTIMPL; }
    STDMETHODIMP Delete(LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP GetNames(LONG, SAFEARRAY**) override { return E_NOTIMPL; }
    STDMETHODIMP BeginEnumeration(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP Next(LONG, BSTR*, VARIANT*, LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndEnumeration() override { return E_NOTIMPL; }

private:
    const std::vector<Qualifier>& qualifiers_;  // the fake object's, which outlives the set
};

class FakeObject final : public com::ComObject<FakeObject, IWbemClassObject> {
public:
    // Properties with VT_I4 values.
    static ComPtr<FakeObject> WithInts(std::initializer_list<std::pair<const wchar_t*, int>> values) {
        ComPtr<FakeObject> object = Make();
        for (const auto& [name, number] : values) object->Add(name, Var(VT_I4, number));
        return object;
    }
    // Takes over value and the qualifiers' values; without qualifiers the
    // property has no qualifier set.
    void Add(const std::wstring& name, VARIANT value, std::vector<Qualifier> qualifiers = {}, bool hasSet = false) {
        properties_.push_back({name, value, hasSet || !qualifiers.empty(), std::move(qualifiers)});
    }

    HRESULT namesResult = S_OK;
    std::wstring failingProperty;  // Get of this name fails

    STDMETHODIMP GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY** names) override {
        if (FAILED(namesResult)) return namesResult;
        *names = SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(properties_.size()));
        for (LONG i = 0; i < static_cast<LONG>(properties_.size()); ++i) {
            Bstr name(properties_[i].name.c_str());
            SafeArrayPutElement(*names, &i, name.get());
        }
        return S_OK;
    }
    // The last property of that name; every type is sint32 and every flavour "propagated".
    STDMETHODIMP Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
        if (name == failingProperty) return WBEM_E_FAILED;
        for (auto p = properties_.rbegin(); p != properties_.rend(); ++p) {
            if (p->name != name) continue;
            if (type) *type = CIM_SINT32;
            if (flavor) *flavor = WBEM_FLAVOR_ORIGIN_PROPAGATED;
            return value ? VariantCopy(value, &p->value) : S_OK;
        }
        return WBEM_E_NOT_FOUND;
    }
    STDMETHODIMP GetPropertyQualifierSet(LPCWSTR name, IWbemQualifierSet** set) override {
        for (const Property& p : properties_) {
            if (p.name != name) continue;
            if (!p.hasSet) return WBEM_E_SYSTEM_PROPERTY;
            *set = FakeQualifiers::Make(p.qualifiers).Detach();
            return S_OK;
        }
        return WBEM_E_NOT_FOUND;
    }
    STDMETHODIMP GetQualifierSet(IWbemQualifierSet**) override { return E_NOTIMPL; }
    STDMETHODIMP Put(LPCWSTR, LONG, VARIANT*, CIMTYPE) override { return E_NOTIMPL; }
    STDMETHODIMP Delete(LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP BeginEnumeration(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP EndEnumeration() override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IWbemClassObject**) override { return E_NOTIMPL; }
    STDMETHODIMP GetObjectText(LONG, BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP SpawnDerivedClass(LONG, IWbemClassObject**) override { return E_NOTIMPL; }
    STDMETHODIMP SpawnInstance(LONG, IWbemClassObject**) override { return E_NOTIMPL; }
    STDMETHODIMP CompareTo(LONG, IWbemClassObject*) override { return E_NOTIMPL; }
    STDMETHODIMP GetPropertyOrigin(LPCWSTR, BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP InheritsFrom(LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) override { return E_NOTIMPL; }
    STDMETHODIMP PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override { return E_NOTIMPL; }
    STDMETHODIMP DeleteMethod(LPCWSTR) override { return E_NOTIMPL; }
    STDMETHODIMP BeginMethodEnumeration(LONG) override { return E_NOTIMPL; }
    STDMETHODIMP NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override { return E_NOTIMPL; }
    STDMETHODIMP EndMethodEnumeration() override { return E_NOTIMPL; }
    STDMETHODIMP GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override { return E_NOTIMPL; }
    STDMETHODIMP GetMethodOrigin(LPCWSTR, BSTR*) override { return E_NOTIMPL; }

private:
    struct Property {
        std::wstring name;
        VARIANT value;
        bool hasSet;
        std::vector<Qualifier> qualifiers;
    };
    ~FakeObject() override {
        for (Property& p : properties_) {
            VariantClear(&p.value);
            for (Qualifier& q : p.qualifiers) VariantClear(&q.value);
        }
    }
    std::vector<Property> properties_;
};

// ---------------------------------------------------------------------------
// Building the snapshots

// The snapshots' creators, over a fake WMI object that the caller keeps.
HRESULT CreateInstance(BSTR path, IWbemClassObject* object, IQvWMIInstance** instance) {
    wmi::Session session(INFINITE);
    return CQvWMIInstance::Create(session, path, wmi::Ref<IWbemClassObject>::Share(object, false), instance);
}
HRESULT CreateDescriptor(BSTR name, IWbemClassObject* definition, IQvWMIPropertyDescriptor** descriptor) {
    wmi::Session session(INFINITE);
    return CQvWMIPropertyDescriptor::Create(session, name, wmi::Ref<IWbemClassObject>::Share(definition, false),
                                            descriptor);
}

ComPtr<IQvWMIInstance> MakeInstance(IWbemClassObject* object, const wchar_t* path = L"Fake_Class") {
    Bstr objectPath(path);
    ComPtr<IQvWMIInstance> instance;
    EXPECT_HR(S_OK, CreateInstance(objectPath.get(), object, &instance));
    return instance;
}

ComPtr<IQvWMIInstanceCollection> MakeInstances(const std::vector<ComPtr<IQvWMIInstance>>& items) {
    std::vector<IQvWMIInstance*> raw;
    for (const auto& item : items) raw.push_back(item.Get());
    ComPtr<IQvWMIInstanceCollection> collection;
    EXPECT_HR(S_OK, CQvWMIInstanceCollection::Create(raw.data(), raw.size(), &collection));
    return collection;
}

std::vector<ComPtr<IQvWMIPropertyDescriptor>> MakeDescriptors(IWbemClassObject* definition,
                                                              const std::vector<std::wstring>& names) {
    std::vector<ComPtr<IQvWMIPropertyDescriptor>> descriptors;
    for (const std::wstring& name : names) {
        Bstr key(name.c_str());
        descriptors.emplace_back();
        EXPECT_HR(S_OK, CreateDescriptor(key.get(), definition, &descriptors.back())) << name;
    }
    return descriptors;
}

ComPtr<IQvWMIPropertyCollection> MakeProperties(const std::vector<ComPtr<IQvWMIPropertyDescriptor>>& items) {
    std::vector<IQvWMIPropertyDescriptor*> raw;
    for (const auto& item : items) raw.push_back(item.Get());
    ComPtr<IQvWMIPropertyCollection> collection;
    EXPECT_HR(S_OK, CQvWMIPropertyCollection::Create(raw.data(), raw.size(), &collection));
    return collection;
}

class Snapshots : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HR(S_OK, apartment_.result());
        locks_ = com::ThisModule().LockCount();
    }
    void TearDown() override { EXPECT_EQ(locks_, com::ThisModule().LockCount()) << "an object leaked"; }

    IWbemServices* Services() {
        if (services_) return services_.Get();
        ComPtr<IWbemLocator> locator;
        EXPECT_HR(S_OK, CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&locator)));
        Bstr ns(L"root\\cimv2");
        EXPECT_HR(S_OK, locator->ConnectServer(ns.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services_));
        return services_.Get();
    }
    std::vector<ComPtr<IWbemClassObject>> Query(const std::wstring& className) {
        std::vector<ComPtr<IWbemClassObject>> objects;
        Bstr language(L"WQL"), statement((L"SELECT * FROM " + className).c_str());
        ComPtr<IEnumWbemClassObject> results;
        EXPECT_HR(S_OK, Services()->ExecQuery(language.get(), statement.get(), WBEM_FLAG_FORWARD_ONLY, nullptr, &results));
        ComPtr<IWbemClassObject> object;
        ULONG returned = 0;
        while (results && results->Next(WBEM_INFINITE, 1, object.ReleaseAndGetAddressOf(), &returned) == S_OK)
            objects.push_back(object);
        return objects;
    }

private:
    ComApartment apartment_;
    ComPtr<IWbemServices> services_;
    LONG locks_ = 0;
};

// ---------------------------------------------------------------------------
// Instances and instance collections

TEST_F(Snapshots, InstanceHoldsExactlyWhatWmiGivesForEveryProperty) {
    for (const wchar_t* className : {L"Win32_Process", L"Win32_OperatingSystem", L"Win32_NetworkAdapterConfiguration"}) {
        SCOPED_TRACE(testing::Message() << className);
        std::vector<ComPtr<IWbemClassObject>> objects = Query(className);
        ASSERT_FALSE(objects.empty());
        for (const auto& object : objects) {
            ComPtr<IQvWMIInstance> instance = MakeInstance(object.Get(), className);
            const std::vector<std::wstring> names = NamesOf(object.Get());
            for (const wchar_t* system : {L"__CLASS", L"__PATH"})
                EXPECT_NE(names.end(), std::find(names.begin(), names.end(), system));
            LONG count = 0;
            EXPECT_HR(S_OK, instance->get_Count(&count));
            ASSERT_EQ(static_cast<LONG>(names.size()), count);

            ComPtr<IEnumVARIANT> enumerator = EnumeratorOf(instance.Get());
            ASSERT_TRUE(enumerator);
            for (LONG i = 0; i < count; ++i) {
                SCOPED_TRACE(testing::Message() << names[i]);
                VARIANT value;
                VariantInit(&value);
                object->Get(names[i].c_str(), 0, &value, nullptr, nullptr);
                const std::wstring expected = Describe(value);
                VariantClear(&value);
                EXPECT_HR(S_OK, instance->GetAt(i, &value));
                EXPECT_EQ(expected, Describe(value));
                VariantClear(&value);
                EXPECT_EQ(expected, InvokeDefault(instance.Get(), Text(names[i].c_str())));
                EXPECT_EQ(std::vector<std::wstring>{expected}, NextTexts(enumerator.Get(), 1, S_OK));
            }
            Bstr path;
            EXPECT_HR(S_OK, instance->get_ObjectPath(path.put()));
            EXPECT_EQ(className, path.str());
        }
    }
}

TEST_F(Snapshots, FieldFindsOnlyTheExactNameAndLeavesNoStaleErrorInfo) {
    ComPtr<IQvWMIInstance> instance =
        MakeInstance(FakeObject::WithInts({{L"Name", 1}, {L"A", 2}, {L"Twice", 3}, {L"Twice", 4}}).Get());
    EXPECT_EQ(L"3:1", InvokeDefault(instance.Get(), Text(L"Name")));
    EXPECT_EQ(L"3:4", InvokeDefault(instance.Get(), Text(L"Twice"))) << "a repeated name finds the later value";
    for (const wchar_t* name : {L"name", L"NAME", L"Name ", L" Name", L"Nam", L"B", L"a"}) {
        SetStaleErrorInfo();
        Bstr key(name);
        VARIANT value;
        V_VT(&value) = VT_I4;
        EXPECT_HR(WBEM_E_NOT_FOUND, instance->get_Field(key.get(), &value)) << name;
        EXPECT_EQ(VT_EMPTY, V_VT(&value));
        EXPECT_FALSE(TakeErrorInfo().present) << name;
    }
}

TEST_F(Snapshots, InstanceCollectionHandsOutTheSameInstancesInOrder) {
    std::vector<ComPtr<IQvWMIInstance>> instances;
    for (const auto& object : Query(L"Win32_Process")) instances.push_back(MakeInstance(object.Get()));
    ASSERT_GE(instances.size(), 2u);
    ComPtr<IQvWMIInstanceCollection> collection = MakeInstances(instances);
    LONG count = 0;
    EXPECT_HR(S_OK, collection->get_Count(&count));
    ASSERT_EQ(static_cast<LONG>(instances.size()), count);
    ComPtr<IEnumVARIANT> enumerator = EnumeratorOf(collection.Get());
    ASSERT_TRUE(enumerator);
    for (LONG i = 0; i < count; ++i) {
        ComPtr<IQvWMIInstance> item;
        EXPECT_HR(S_OK, collection->get_Item(i, &item));
        EXPECT_EQ(instances[i].Get(), item.Get());
        EXPECT_EQ(std::vector<std::wstring>{Describe(item.Get())}, NextTexts(enumerator.Get(), 1, S_OK));
    }
    for (LONG index : {-1L, count, LONG_MIN}) {
        SetStaleErrorInfo();
        ComPtr<IQvWMIInstance> item;
        EXPECT_HR(E_INVALIDARG, collection->get_Item(index, &item)) << index;
        EXPECT_FALSE(TakeErrorInfo().present) << index;
    }
}

// ---------------------------------------------------------------------------
// Property descriptors and property collections

TEST_F(Snapshots, PropertyDescriptorsOfARealClass) {
    ComPtr<IWbemClassObject> definition;
    Bstr className(L"Win32_NetworkAdapterConfiguration");
    ASSERT_HR(S_OK, Services()->GetObject(className.get(), 0, nullptr, &definition, nullptr));
    const std::vector<std::wstring> names = NamesOf(definition.Get());
    auto descriptors = MakeDescriptors(definition.Get(), names);
    ComPtr<IQvWMIPropertyCollection> properties = MakeProperties(descriptors);
    ComPtr<IEnumVARIANT> enumerator = EnumeratorOf(properties.Get());
    ASSERT_TRUE(enumerator);
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(testing::Message() << names[i]);
        CIMTYPE type = 0;
        LONG flavor = -1;
        ASSERT_HR(S_OK, definition->Get(names[i].c_str(), 0, nullptr, &type, &flavor));
        Bstr name;
        EQvWMIPropertyType reportedType;
        EQvWMIPropertyFlavor reportedFlavor;
        descriptors[i]->get_Name(name.put());
        descriptors[i]->get_Type(&reportedType);
        descriptors[i]->get_Flavor(&reportedFlavor);
        EXPECT_EQ(names[i], name.str());
        EXPECT_EQ(type, reportedType);
        EXPECT_EQ(flavor, reportedFlavor);
        if (names[i].rfind(L"__", 0) == 0) {
            EXPECT_EQ(QV_WBEM_FLAVOR_ORIGIN_SYSTEM, reportedFlavor);
        }
        if (names[i] == L"DNSServerSearchOrder") {
            EXPECT_EQ(8200, reportedType) << "an array of strings";
        }
        // Wine's qualifier sets are empty: every qualifier field keeps its default.
        EXPECT_EQ(L"null|null|0,0,0,0|0,0,0", QualifierFields(descriptors[i].Get()));

        // By position, by exact name and through the enumerator: the same object.
        ComPtr<IQvWMIPropertyDescriptor> byIndex, byName;
        EXPECT_HR(S_OK, properties->GetAt(static_cast<LONG>(i), &byIndex));
        EXPECT_HR(S_OK, properties->get_Item(name.get(), &byName));
        EXPECT_EQ(descriptors[i].Get(), byIndex.Get());
        EXPECT_EQ(descriptors[i].Get(), byName.Get());
        EXPECT_EQ(std::vector<std::wstring>{Describe(byName.Get())}, NextTexts(enumerator.Get(), 1, S_OK));
    }
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), L"DNSServerSearchOrder"));
    for (const wchar_t* name : {L"dnsserversearchorder", L"__class", L"NoSuchProperty"}) {
        SetStaleErrorInfo();
        Bstr key(name);
        ComPtr<IQvWMIPropertyDescriptor> descriptor;
        EXPECT_HR(WBEM_E_NOT_FOUND, properties->get_Item(key.get(), &descriptor)) << name;
        EXPECT_FALSE(TakeErrorInfo().present) << name;
    }
}

TEST_F(Snapshots, QualifiersAreConvertedOrLeftAtTheirDefaults) {
    struct Case {
        const wchar_t* property;
        std::vector<Qualifier> qualifiers;
        const wchar_t* expected;  // as QualifierFields writes it
    };
    std::vector<Case> cases = {
        {L"NoSet", {}, L"null|null|0,0,0,0|0,0,0"},
        {L"MaxLenAsText", {{L"MaxLen", Text(L"255")}}, L"null|null|0,0,0,0|0,0,255"},
        {L"Native",
         {{L"DisplayName", Text(L"Shown")}, {L"Description", Text(L"Says what")}, {L"Key", Var(VT_BOOL, 1)},
          {L"Read", Var(VT_BOOL, 1)}, {L"Write", Var(VT_BOOL, 0)}, {L"Required", Var(VT_BOOL, 1)},
          {L"MaxValue", Var(VT_I4, 1000)}, {L"MinValue", Var(VT_I4, -5)}},
         L"Shown|Says what|-1,-1,0,-1|1000,-5,0"},
        {L"Converted",
         {{L"DisplayName", Var(VT_I4, 42)}, {L"Read", Var(VT_I4, 1)}, {L"MaxValue", Text(L"2147483647")},
          {L"MinValue", Var(VT_R8, -12)}},
         L"42|null|0,-1,0,0|2147483647,-12,0"},
        {L"Unconvertible",
         {{L"Key", Text(L"not a flag")}, {L"MaxValue", Text(L"4294967296")}, {L"MinValue", Var(VT_R8, 1e12)},
          {L"MaxLen", Text(L"long")}},
         L"null|null|0,0,0,0|0,0,0"},
    };
    ComPtr<FakeObject> definition = FakeObject::Make();
    for (Case& c : cases) definition->Add(c.property, Var(VT_I4, 0), std::move(c.qualifiers));
    definition->Add(L"EmptySet", Var(VT_I4, 0), {}, true);
    cases.push_back({L"EmptySet", {}, L"null|null|0,0,0,0|0,0,0"});
    for (const Case& c : cases) {
        ComPtr<IQvWMIPropertyDescriptor> descriptor = MakeDescriptors(definition.Get(), {c.property})[0];
        ASSERT_TRUE(descriptor);
        EXPECT_EQ(c.expected, QualifierFields(descriptor.Get())) << c.property;
    }
}

TEST_F(Snapshots, PropertyCollectionFindsTheLaterOfTwoEqualNames) {
    auto descriptors = MakeDescriptors(FakeObject::WithInts({{L"Same", 1}, {L"Other", 2}}).Get(), {L"Same", L"Other", L"Same"});
    ComPtr<IQvWMIPropertyCollection> properties = MakeProperties(descriptors);
    Bstr key(L"Same");
    ComPtr<IQvWMIPropertyDescriptor> found;
    EXPECT_HR(S_OK, properties->get_Item(key.get(), &found));
    EXPECT_EQ(descriptors[2].Get(), found.Get());
}

// ---------------------------------------------------------------------------
// Enumerators, over each kind of collection

TEST_F(Snapshots, EnumeratorsWalkSkipResetAndClone) {
    ComPtr<FakeObject> object = FakeObject::WithInts({{L"A", 10}, {L"B", 20}, {L"C", 30}});
    std::vector<ComPtr<IQvWMIInstance>> instances = {MakeInstance(object.Get()), MakeInstance(object.Get()),
                                                     MakeInstance(object.Get())};
    ComPtr<IQvWMIInstanceCollection> instanceCollection = MakeInstances(instances);
    auto descriptors = MakeDescriptors(object.Get(), {L"A", L"B", L"C"});
    ComPtr<IQvWMIPropertyCollection> properties = MakeProperties(descriptors);
    const std::vector<std::pair<IUnknown*, std::vector<std::wstring>>> cases = {
        {instances[0].Get(), {L"3:10", L"3:20", L"3:30"}},
        {instanceCollection.Get(), {Describe(instances[0].Get()), Describe(instances[1].Get()), Describe(instances[2].Get())}},
        {properties.Get(), {Describe(descriptors[0].Get()), Describe(descriptors[1].Get()), Describe(descriptors[2].Get())}},
    };
    for (const auto& [collection, items] : cases) {
        ComPtr<IEnumVARIANT> e = EnumeratorOf(collection);
        ASSERT_TRUE(e);
        EXPECT_EQ(items, NextTexts(e.Get(), 5, S_FALSE));
        EXPECT_TRUE(NextTexts(e.Get(), 1, S_FALSE).empty());
        EXPECT_HR(S_OK, e->Reset());
        EXPECT_TRUE(NextTexts(e.Get(), 0, S_OK).empty());
        VARIANT first;
        EXPECT_HR(S_OK, e->Next(1, &first, nullptr)) << "one item needs no count";
        EXPECT_EQ(items[0], Describe(first));
        VariantClear(&first);
        EXPECT_HR(S_FALSE, e->Skip(10)) << "from position 1";
        EXPECT_TRUE(NextTexts(e.Get(), 1, S_FALSE).empty()) << "Skip stopped at the end";

        EXPECT_HR(S_OK, e->Reset());
        EXPECT_HR(S_OK, e->Skip(1));
        EXPECT_EQ(std::vector<std::wstring>{items[1]}, NextTexts(e.Get(), 1, S_OK));
        ComPtr<IEnumVARIANT> clone;
        ASSERT_HR(S_OK, e->Clone(&clone));
        EXPECT_EQ(std::vector<std::wstring>{items[2]}, NextTexts(clone.Get(), 1, S_OK));
        EXPECT_EQ(std::vector<std::wstring>{items[2]}, NextTexts(e.Get(), 1, S_OK)) << "each moves on its own";
    }
    ComPtr<IUnknown> empties[] = {MakeInstances({}), MakeProperties({}), MakeInstance(FakeObject::Make().Get())};
    for (const auto& empty : empties) {
        ComPtr<IEnumVARIANT> e = EnumeratorOf(empty.Get());
        ASSERT_TRUE(e);
        EXPECT_TRUE(NextTexts(e.Get(), 1, S_FALSE).empty());
        EXPECT_HR(S_FALSE, e->Skip(1));
    }
}

// ---------------------------------------------------------------------------
// Failures

TEST_F(Snapshots, ArgumentFailuresAreReported) {
    ComPtr<FakeObject> object = FakeObject::WithInts({{L"A", 1}, {L"B", 2}, {L"C", 3}});
    ComPtr<IQvWMIInstance> instance = MakeInstance(object.Get());
    ComPtr<IQvWMIInstanceCollection> instances = MakeInstances({instance});
    auto descriptors = MakeDescriptors(object.Get(), {L"A", L"B", L"C"});
    ComPtr<IQvWMIPropertyCollection> properties = MakeProperties(descriptors);
    ComPtr<IQvWMIPropertyCollection> none = MakeProperties({});
    ComPtr<IEnumVARIANT> enumerator = EnumeratorOf(instance.Get());
    ASSERT_TRUE(enumerator);
    VARIANT v[2];
    ULONG fetched;
    Bstr empty(L""), name(L"A");
    ComPtr<IQvWMIPropertyDescriptor> d;
    ComPtr<IUnknown> unknown;

    const std::wstring range = L"Argument 'lIndex' is not within a valid range.";
    const std::wstring emptyKey = L"Argument 'tKey' cannot be NULL or EMPTY.";
    const std::wstring state = L"The current state of the object is not valid for the requested operation.";
    auto null = [](const wchar_t* argument) { return std::wstring(L"Argument '") + argument + L"' cannot be NULL"; };
    struct Case {
        std::function<HRESULT()> call;
        HRESULT hr;
        const wchar_t* action;
        std::wstring context;
    };
    const std::vector<Case> cases = {
        {[&] { return instance->get_Field(empty.get(), v); }, E_INVALIDARG, L"Instance::GetItem", emptyKey},
        {[&] { return instance->get_Field(name.get(), nullptr); }, E_POINTER, L"Collection::get_Item", null(L"pValue")},
        {[&] { return instance->GetAt(-1, v); }, E_INVALIDARG, L"Collection::GetAt", range},
        {[&] { return instance->GetAt(3, v); }, E_INVALIDARG, L"Collection::GetAt", range},
        {[&] { return instance->get_Count(nullptr); }, E_POINTER, L"Collection::get_Count", null(L"plCount")},
        {[&] { return instance->get_ObjectPath(nullptr); }, E_POINTER, L"Instance::get_ObjectPath",
         null(L"pbstrObjectPath")},
        {[&] { return instances->get_Item(0, nullptr); }, E_POINTER, L"Collection::get_Item", null(L"pValue")},
        {[&] { return properties->get_Item(empty.get(), &d); }, E_INVALIDARG, L"Instance::GetItem", emptyKey},
        {[&] { return none->GetAt(0, &d); }, E_INVALIDARG, L"Collection::GetAt", range},
        {[&] { return descriptors[0]->get_MaxLength(nullptr); }, E_POINTER, L"PropertyDescriptor::get_MaxLength",
         null(L"pnMaxLength")},
        {[&] { return enumerator->Next(2, v, nullptr); }, E_POINTER, L"Enumerator::Next", null(L"pCeltFetched")},
        {[&] { return enumerator->Next(1, nullptr, &fetched); }, E_POINTER, L"Enumerator::Next", null(L"rgVar")},
        {[&] { return properties->get__NewEnum(nullptr); }, E_POINTER, L"Enumerator::Create", state},
        {[&] { return CEnumVARIANT::Create(nullptr, 0, IID_IUnknown, &unknown); }, E_INVALIDARG,
         L"Enumerator::Initialize", null(L"pCollection")},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SetStaleErrorInfo();
        EXPECT_HR(cases[i].hr, cases[i].call()) << "case " << i;
        EXPECT_EQ(Expected(cases[i].hr, cases[i].action, cases[i].context), TakeErrorInfo().description) << "case " << i;
    }
}

TEST_F(Snapshots, FailedCreationIsReportedAndLeavesNoObject) {
    ComPtr<FakeObject> unlisted = FakeObject::WithInts({{L"A", 1}});
    unlisted->namesResult = WBEM_E_ACCESS_DENIED;
    ComPtr<FakeObject> unreadable = FakeObject::WithInts({{L"A", 1}, {L"B", 2}});
    unreadable->failingProperty = L"B";
    Bstr path(L"Fake_Class"), missing(L"Missing");
    IQvWMIInstance* nullInstance = nullptr;
    ComPtr<IQvWMIInstance> instance;
    ComPtr<IQvWMIInstanceCollection> instances;
    ComPtr<IQvWMIPropertyDescriptor> descriptor;
    ComPtr<IQvWMIPropertyCollection> properties;

    const std::wstring unread = L"Failed to query properties for the object with path 'Fake_Class'.";
    auto notCreated = [](const wchar_t* type) { return std::wstring(L"Failed to create an object of type '") + type + L"'."; };
    struct Case {
        std::function<HRESULT()> call;
        HRESULT hr;
        const wchar_t* action;
        std::wstring context;
    };
    const std::vector<Case> cases = {
        {[&] { return CreateInstance(path.get(), unlisted.Get(), &instance); }, HRESULT(WBEM_E_ACCESS_DENIED),
         L"Instance::GetFields", unread},
        {[&] { return CreateInstance(path.get(), unreadable.Get(), &instance); }, HRESULT(WBEM_E_FAILED),
         L"Instance::GetFields", unread},
        {[&] { return CreateInstance(path.get(), nullptr, &instance); }, E_INVALIDARG, L"Instance::Create",
         notCreated(L"Instance")},
        {[&] { return CQvWMIInstanceCollection::Create(&nullInstance, 1, &instances); }, E_INVALIDARG,
         L"InstanceCollection::Create", notCreated(L"Instance Collection")},
        {[&] { return CreateDescriptor(missing.get(), unreadable.Get(), &descriptor); },
         HRESULT(WBEM_E_NOT_FOUND), L"PropertyDescriptor::Create", notCreated(L"Property Descriptor")},
        {[&] { return CQvWMIPropertyCollection::Create(nullptr, 0, nullptr); }, E_POINTER,
         L"PropertyCollection::Create", notCreated(L"Property Collection")},
    };
    const LONG locks = com::ThisModule().LockCount();
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_HR(cases[i].hr, cases[i].call()) << "case " << i;
        EXPECT_EQ(Expected(cases[i].hr, cases[i].action, cases[i].context), TakeErrorInfo().description) << "case " << i;
        EXPECT_EQ(locks, com::ThisModule().LockCount()) << "case " << i;
    }
    EXPECT_FALSE(instance || instances || descriptor || properties);
}

// ---------------------------------------------------------------------------
// Apartments: snapshots are called directly from any apartment, except an
// instance holding an interface (and what holds or walks it).

TEST_F(Snapshots, OnlySnapshotsWithoutInterfaceValuesAreAgile) {
    ComPtr<FakeObject> embedded = FakeObject::Make();
    auto objectArray = [&] {
        VARIANT v;
        V_VT(&v) = VT_ARRAY | VT_UNKNOWN;
        V_ARRAY(&v) = SafeArrayCreateVector(VT_UNKNOWN, 0, 1);
        LONG index = 0;
        SafeArrayPutElement(V_ARRAY(&v), &index, embedded.Get());
        return v;
    };
    auto object = [&](VARTYPE vt) {
        VARIANT v;
        V_VT(&v) = vt;
        V_UNKNOWN(&v) = embedded.Get();
        embedded->AddRef();
        return v;
    };
    const std::vector<std::pair<VARIANT, bool>> cases = {
        {Text(L"x"), true}, {Null(), true}, {object(VT_UNKNOWN), false}, {object(VT_DISPATCH), false},
        {objectArray(), false}};
    ComPtr<IQvWMIInstance> agile = MakeInstance(FakeObject::WithInts({{L"A", 1}}).Get());
    for (const auto& [value, expected] : cases) {
        ComPtr<FakeObject> fake = FakeObject::WithInts({{L"Number", 1}});
        fake->Add(L"Value", value);
        ComPtr<IQvWMIInstance> instance = MakeInstance(fake.Get());
        ComPtr<IQvWMIInstanceCollection> collection = MakeInstances({agile, instance});
        ComPtr<IUnknown> snapshots[] = {instance, collection, EnumeratorOf(instance.Get()), EnumeratorOf(collection.Get())};
        for (const auto& snapshot : snapshots) {
            EXPECT_EQ(expected, Answers(snapshot.Get(), IID_IMarshal)) << Describe(value);
            EXPECT_EQ(expected, Answers(snapshot.Get(), __uuidof(IAgileObject))) << Describe(value);
        }
    }
    auto descriptors = MakeDescriptors(FakeObject::WithInts({{L"A", 1}}).Get(), {L"A"});
    ComPtr<IQvWMIPropertyCollection> properties = MakeProperties(descriptors);
    ComPtr<IUnknown> snapshots[] = {descriptors[0], properties, EnumeratorOf(properties.Get())};
    for (const auto& snapshot : snapshots) EXPECT_TRUE(Answers(snapshot.Get(), IID_IMarshal));
}

// An agile instance reaches a single-threaded apartment as itself, not as a
// proxy, and its error information arrives there.
TEST_F(Snapshots, AgileInstanceIsCalledDirectlyFromAnotherApartment) {
    ComPtr<IQvWMIInstance> instance = MakeInstance(FakeObject::WithInts({{L"A", 1}}).Get());
    IStream* stream = nullptr;
    ASSERT_HR(S_OK, CoMarshalInterThreadInterfaceInStream(IID_IQvWMIInstance, instance.Get(), &stream));
    IQvWMIInstance* received = nullptr;
    std::wstring description;
    std::thread client([&] {
        ComApartment sta(COINIT_APARTMENTTHREADED);
        if (FAILED(CoGetInterfaceAndReleaseStream(stream, IID_PPV_ARGS(&received)))) return;
        Bstr empty(L"");
        VARIANT value;
        received->get_Field(empty.get(), &value);
        description = TakeErrorInfo().description;
        received->Release();
    });
    client.join();
    EXPECT_EQ(instance.Get(), received);
    EXPECT_EQ(Expected(E_INVALIDARG, L"Instance::GetItem", L"Argument 'tKey' cannot be NULL or EMPTY."), description);
}

// Bytes in use on every heap of the process.
size_t HeapBytesInUse() {
    HANDLE heaps[64];
    const DWORD count = std::min<DWORD>(GetProcessHeaps(64, heaps), 64);
    size_t total = 0;
    for (DWORD h = 0; h < count; ++h) {
        PROCESS_HEAP_ENTRY entry = {};
        HeapLock(heaps[h]);
        while (HeapWalk(heaps[h], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData + entry.cbOverhead;
        HeapUnlock(heaps[h]);
    }
    return total;
}

// A query may return 100,000 instances: each must stay small.
TEST_F(Snapshots, InstanceOfTwentyShortStringsTakesUnderFourKilobytes) {
    ComPtr<FakeObject> object = FakeObject::Make();
    for (int i = 0; i < 20; ++i) object->Add(L"Property" + std::to_wstring(i), Text(L"short text"));
    constexpr size_t kInstances = 1000;
    std::vector<ComPtr<IQvWMIInstance>> instances;
    instances.reserve(kInstances);
    const size_t before = HeapBytesInUse();
    for (size_t i = 0; i < kInstances; ++i) instances.push_back(MakeInstance(object.Get()));
    const size_t perInstance = (HeapBytesInUse() - before) / kInstances;
    EXPECT_LT(perInstance, 4096u);
    EXPECT_GT(perInstance, 20u * 16) << "the measurement saw the values";
}

}  // namespace
