#include "BridgeSource.h"

#include <oleauto.h>

#include <algorithm>
#include <cmath>

#include "../common/Raii.h"
#include "Argument.h"
#include "CheckRules.h"
#include "Derived.h"
#include "PluginCheck.h"
#include "PluginOutput.h"
#include "Utf.h"

using Microsoft::WRL::ComPtr;

namespace {

com::UniqueBstr Bstr(const std::wstring& text) {
    com::UniqueBstr bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (!bstr) throw std::bad_alloc();
    return bstr;
}

std::wstring Text(const com::UniqueBstr& bstr) {
    return bstr ? std::wstring(bstr.get(), SysStringLen(bstr.get())) : std::wstring();
}

[[noreturn]] void Fail(const std::wstring& text) { throw check::Failure{Utf8(text)}; }

void Check(HRESULT hr, const std::wstring& what) {
    if (FAILED(hr)) Fail(what + L": " + DescribeFailure(hr));
}

// A failed step with its advice: "what (0x...): advice", or as Check says
// it when there is none.
void CheckAdvised(HRESULT hr, const std::wstring& what, const std::wstring& advice) {
    if (SUCCEEDED(hr)) return;
    if (advice.empty()) Check(hr, what);
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    Fail(what + L" (" + code + L"): " + advice);
}

// A VARIANT type that holds a number (WMI gives a boolean as VT_BOOL and a
// 64-bit integer as text).
bool IsNumberType(VARTYPE type) {
    switch (type) {
    case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_UI1: case VT_UI2: case VT_UI4: case VT_UI8:
    case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_DECIMAL: case VT_CY:
        return true;
    default:
        return false;
    }
}

bool IsNumericType(EQvWMIPropertyType type) {
    switch (type & ~QV_WMI_PROPERTY_TYPE_FLAG_ARRAY) {
    case QV_WMI_PROPERTY_TYPE_SINT8: case QV_WMI_PROPERTY_TYPE_UINT8:
    case QV_WMI_PROPERTY_TYPE_SINT16: case QV_WMI_PROPERTY_TYPE_UINT16:
    case QV_WMI_PROPERTY_TYPE_SINT32: case QV_WMI_PROPERTY_TYPE_UINT32:
    case QV_WMI_PROPERTY_TYPE_SINT64: case QV_WMI_PROPERTY_TYPE_UINT64:
    case QV_WMI_PROPERTY_TYPE_REAL32: case QV_WMI_PROPERTY_TYPE_REAL64:
        return (type & QV_WMI_PROPERTY_TYPE_FLAG_ARRAY) == 0;
    default: return false;
    }
}

std::vector<check::PropertyInfo> ListProperties(IQvWMIPropertyCollection* properties) {
    long count = 0;
    Check(properties->get_Count(&count), L"cannot list the properties");
    std::vector<check::PropertyInfo> list;
    for (long i = 0; i < count; ++i) {
        ComPtr<IQvWMIPropertyDescriptor> descriptor;
        com::UniqueBstr name;
        EQvWMIPropertyType type = QV_WMI_PROPERTY_TYPE_EMPTY;
        SetErrorInfo(0, nullptr);
        HRESULT hr = properties->GetAt(i, &descriptor);
        if (SUCCEEDED(hr)) hr = descriptor->get_Name(name.put());
        if (SUCCEEDED(hr)) hr = descriptor->get_Type(&type);
        Check(hr, L"cannot list the properties");
        list.push_back({Utf8(Text(name)), IsNumericType(type)});
    }
    return list;
}

HRESULT TryReadField(IQvWMIInstance* instance, const std::wstring& name, com::UniqueVariant* value) {
    com::UniqueBstr bstr = Bstr(name);
    SetErrorInfo(0, nullptr);
    return instance->get_Field(bstr.get(), value->put());
}

}  // namespace

check::Value ValueOfVariant(const VARIANT& variant, LCID lcid) {
    using Kind = check::Value::Kind;
    check::Value value;
    const VARTYPE type = V_VT(&variant);
    if (type == VT_NULL || type == VT_EMPTY) return value;
    if (type & VT_ARRAY) value.kind = Kind::Array;
    else if (type == VT_DISPATCH || type == VT_UNKNOWN) value.kind = Kind::Object;
    else if (type == VT_BOOL) value.kind = Kind::Boolean;
    else if (IsNumberType(type)) value.kind = Kind::Number;
    else value.kind = Kind::Text;
    std::wstring text;
    value.hasText = SUCCEEDED(ValueText(variant, &text, lcid));
    if (value.hasText) AssignUtf8(&value.text, text.data(), text.size());
    double number = 0;
    value.hasNumber = SUCCEEDED(ValueNumber(variant, &number, lcid)) && std::isfinite(number);
    if (value.hasNumber) value.number = number;
    return value;
}

// Gives each step that asks the computer (the connection, the query, the
// class) what is left of the time-out, through the access object's Timeout,
// so that the step's own error and advice arrive before the watchdog's line.
class BridgeSource::Clock {
public:
    Clock(IQvWMIAccess* access, double seconds) noexcept : access_(access), seconds_(seconds), deadline_(seconds) {}

    // The step's time in milliseconds; a step whose time is gone ends the
    // check with a text naming it.
    long Begin(const std::wstring& step) {
        left_ = deadline_.LeftMs();
        if (left_ <= 0) Fail(L"timed out before " + step + L": the time-out of " + SecondsText(seconds_) + L" ran out");
        SetErrorInfo(0, nullptr);
        Check(access_->put_Timeout(left_), L"cannot set the time-out of " + step);
        SetErrorInfo(0, nullptr);
        return left_;
    }
    // The current step's time.
    long StepMs() const noexcept { return left_; }

private:
    IQvWMIAccess* access_;
    double seconds_;
    Deadline deadline_;
    long left_ = 0;
};

BridgeSource::BridgeSource(const RunnerOptions& options) : options_(options), steps_(options.verbosity) {}

BridgeSource::~BridgeSource() = default;

size_t BridgeSource::Query() {
    const std::wstring host = Wide(options_.host), nameSpace = Wide(options_.nameSpace),
                       classPath = Wide(options_.classPath), filterText = Wide(options_.filter);
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(L"QvWMI.Access", &clsid);
    if (SUCCEEDED(hr)) hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&access_));
    Check(hr, L"cannot create QvWMI.Access");
    SetErrorInfo(0, nullptr);
    Auth auth = Auth::Ntlm;
    hr = SetUpAccess(access_.Get(), options_, &auth);
    if (hr == E_NOINTERFACE && options_.authGiven) Fail(kBridgeLacksAuth);
    Check(hr, L"cannot set up the WMI access");
    clock_ = std::make_unique<Clock>(access_.Get(), options_.timeoutSeconds);

    {
        // Credentials only with a user name; otherwise the caller's own
        // identity. The domain as given (a user principal name has none).
        const bool withUser = !options_.user.empty();
        const ReachingAccount account = AccountReachingWmi(options_, auth);
        const long stepMs = clock_->Begin(L"connecting");
        steps_.Say(L"connecting to \\\\" + host + L"\\" + nameSpace + L" as " + account.Detailed() +
                   L", time-out " + Wide(FormatNumber(options_.timeoutSeconds)) + L" s (" +
                   SecondsText(stepMs / 1000.0) + L" left)");
        Argument hostArgument(host), nameSpaceArgument(nameSpace), timeout(stepMs);
        Argument user(Wide(options_.user), !withUser), password(withUser ? Wide(options_.password) : L"", !withUser);
        Argument domain(Wide(options_.domain), true), locale(L"", true);
        SetErrorInfo(0, nullptr);
        const ULONGLONG start = GetTickCount64();
        hr = access_->Connect(hostArgument, nameSpaceArgument, domain, user, password, locale, timeout, &server_);
        CheckAdvised(hr, L"cannot connect to \\\\" + host + L"\\" + nameSpace + (withUser ? L" as " + account.name : L""),
                     ConnectAdvice(hr, options_, host, auth, account, stepMs));
        steps_.Say(L"connected in " + std::to_wstring(GetTickCount64() - start) + L" ms" +
                   AuthenticatedWith(server_.Get()));
    }

    // The query alone, without reading the class first: the connection, the
    // query and its batches are all the computer is asked for.
    ComPtr<IQvWMIServer2> querying;
    Check(server_.As(&querying), L"cannot query " + classPath + L" (the bridge is older than wmicheck)");
    ComPtr<IQvWMIInstanceCollection> instances;
    Argument filter(filterText);
    steps_.Say(L"query SELECT * FROM " + classPath + (filterText.empty() ? L"" : L" WHERE " + filterText));
    clock_->Begin(L"the query of " + classPath);
    const ULONGLONG queryStart = GetTickCount64();
    hr = querying->Instances(Bstr(classPath).get(), filter, &instances);
    CheckAdvised(hr, L"cannot query " + classPath, QueryAdvice(hr, options_, host, clock_->StepMs()));
    long count = 0;
    Check(instances->get_Count(&count), L"cannot count the instances of " + classPath);
    steps_.Say(std::to_wstring(count) + L" instances in " + std::to_wstring(GetTickCount64() - queryStart) + L" ms");
    instances_.reserve(static_cast<size_t>(count));
    for (long i = 0; i < count; ++i) {
        ComPtr<IQvWMIInstance> instance;
        SetErrorInfo(0, nullptr);
        hr = instances->get_Item(i, &instance);
        if (FAILED(hr)) Check(hr, L"cannot read instance " + std::to_wstring(i + 1));
        instances_.push_back(instance);
    }
    return instances_.size();
}

bool BridgeSource::Field(size_t instance, const std::string& name, check::Value* value) {
    com::UniqueVariant variant;
    const bool read = SUCCEEDED(TryReadField(instances_.at(instance).Get(), Wide(name), &variant));
    SetErrorInfo(0, nullptr);
    if (!read) return false;
    *value = ValueOfVariant(*variant.get());
    return true;
}

std::string BridgeSource::PathLabel(size_t instance) {
    // From the instance's snapshot: it costs no call into WMI.
    com::UniqueVariant path;
    std::string label;
    if (SUCCEEDED(TryReadField(instances_.at(instance).Get(), L"__RELPATH", &path)) && V_VT(path.get()) == VT_BSTR &&
        V_BSTR(path.get())) {
        std::string text;
        AssignUtf8(&text, V_BSTR(path.get()), SysStringLen(V_BSTR(path.get())));
        LabelFromRelativePath(text, &label);
    }
    SetErrorInfo(0, nullptr);
    return label;
}

// The class, read only when the check needs what the query does not give:
// the properties close to a name that is missing, a property's CIM type, the
// key properties, or whether a class that returned no instance exists. Each
// read is a round trip to the computer.
IQvWMIClass* BridgeSource::Class() {
    if (class_) return class_.Get();
    const std::wstring path = Wide(options_.classPath);
    clock_->Begin(L"reading the class " + path);
    const ULONGLONG start = GetTickCount64();
    const HRESULT hr = server_->GetClass(Bstr(path).get(), &class_);
    CheckAdvised(hr, L"cannot get the class " + path, QueryAdvice(hr, options_, Wide(options_.host), clock_->StepMs()));
    steps_.Say(L"class " + path + L" read in " + std::to_wstring(GetTickCount64() - start) + L" ms");
    return class_.Get();
}

bool BridgeSource::ClassProperties(std::vector<check::PropertyInfo>* properties) {
    ComPtr<IQvWMIPropertyCollection> collection;
    IQvWMIClass* cls = Class();
    SetErrorInfo(0, nullptr);
    Check(cls->get_Properties(&collection), L"cannot list the properties of " + Wide(options_.classPath));
    *properties = ListProperties(collection.Get());
    return true;
}

std::vector<std::string> BridgeSource::KeyNames() {
    // Wine's WMI has no key list (E_NOTIMPL): no names then.
    std::vector<std::string> names;
    ComPtr<IQvWMIPropertyCollection> keys;
    IQvWMIClass* cls = Class();
    SetErrorInfo(0, nullptr);
    if (SUCCEEDED(cls->get_KeyProperties(&keys)))
        for (const check::PropertyInfo& key : ListProperties(keys.Get())) names.push_back(key.name);
    SetErrorInfo(0, nullptr);
    return names;
}

char BridgeSource::DecimalSeparator() const {
    // The user's locale's, as ValueText writes numbers; one outside ASCII
    // cannot be told to the core, which then reads the period alone.
    const wchar_t separator = ::DecimalSeparator(LOCALE_USER_DEFAULT);
    return separator < 0x80 ? static_cast<char>(separator) : '.';
}

void BridgeSource::Say(const std::string& step) { steps_.Say(Wide(step)); }
