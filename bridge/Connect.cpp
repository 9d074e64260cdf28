// Connect: opens a WMI namespace within a time-out. WMI's ConnectServer can
// block for a long time when a computer does not answer, so it runs on a
// worker thread and Connect waits for it no longer than the time-out. On a
// time-out the worker is not killed (that could leave the heap or the loader
// lock held): it is abandoned, finishes on its own and cleans up after itself.
#include <atomic>
#include <new>
#include <string>

#include "../common/ComModule.h"
#include "../common/HResult.h"
#include "../common/Raii.h"
#include "ErrorReporting.h"
#include "QvWMIAccess.h"
#include "QvWMIServer.h"
#include "VariantArgument.h"

using com::ComPtr;

namespace {

constexpr HRESULT kTimeoutResult = static_cast<HRESULT>(0x800705B4);  // ERROR_TIMEOUT

// The block shared by Connect and its worker. Each holds one reference; the
// last one frees it. The state decides who owns the marshalled services
// interface when the worker finishes just as Connect gives up.
class ConnectRequest {
public:
    enum State : LONG { kWaiting, kFinished, kAbandoned };

    ConnectRequest() noexcept { com::ThisModule().Lock(); }
    ConnectRequest(const ConnectRequest&) = delete;
    ConnectRequest& operator=(const ConnectRequest&) = delete;

    void AddRef() noexcept { ++refs_; }
    void Release() noexcept {
        if (--refs_ == 0) delete this;
    }

    // Moves the state on from kWaiting; returns the state found.
    LONG Leave(State next) noexcept { return InterlockedCompareExchange(&state_, next, kWaiting); }

    ComPtr<IWbemLocator> locator;
    com::UniqueBstr path;
    com::UniqueBstr authority;
    com::UniqueBstr user;
    com::UniqueBstr password;
    com::UniqueBstr locale;
    HRESULT result = E_FAIL;
    ComPtr<IStream> stream;
    // When Connect runs in the multithreaded apartment, which the worker
    // joins too, the services pointer is valid on both threads and is handed
    // over as it is; marshalling is needed only for a caller in another
    // apartment (and needs a registered proxy for the interface, which not
    // every WMI provides).
    bool sameApartment = false;
    ComPtr<IWbemServices> services;

private:
    ~ConnectRequest() {
        // The request may outlive the call by minutes: wipe the password.
        if (password) com::SecureZero(password.get(), SysStringByteLen(password.get()));
        com::ThisModule().Unlock();
    }

    std::atomic<LONG> refs_{1};
    volatile LONG state_ = kWaiting;
};

struct WorkerStart {
    ConnectRequest* request;
    HMODULE pinnedModule;  // keeps the DLL loaded until the worker's last instruction
};

DWORD WINAPI ConnectWorker(void* parameter) {
    WorkerStart start = *static_cast<WorkerStart*>(parameter);
    delete static_cast<WorkerStart*>(parameter);
    ConnectRequest* request = start.request;

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const bool initialized = SUCCEEDED(hr);
    if (initialized) {
        ComPtr<IWbemServices> services;
        hr = request->locator->ConnectServer(request->path.get(), request->user.get(), request->password.get(),
                                             request->locale.get(), 0, request->authority.get(), nullptr,
                                             &services);
        if (SUCCEEDED(hr)) {
            if (request->sameApartment)
                request->services = services;
            else
                hr = CoMarshalInterface(request->stream.Get(), IID_IWbemServices, services.Get(), MSHCTX_INPROC,
                                        nullptr, MSHLFLAGS_NORMAL);
        }
        request->result = hr;
        request->locator.Reset();
        if (request->Leave(ConnectRequest::kFinished) == ConnectRequest::kAbandoned && SUCCEEDED(hr)) {
            // Connect has given up: nobody will take the services, so release
            // the reference held by the marshalled data (or the hand-over).
            request->services.Reset();
            if (!request->sameApartment) {
                LARGE_INTEGER zero = {};
                request->stream->Seek(zero, STREAM_SEEK_SET, nullptr);
                CoReleaseMarshalData(request->stream.Get());
            }
        }
    } else {
        request->result = hr;
        request->Leave(ConnectRequest::kFinished);
    }
    request->Release();
    if (initialized) CoUninitialize();
    FreeLibraryAndExitThread(start.pinnedModule, 0);
    return 0;
}

// Runs ConnectServer on a worker and waits for it at most timeoutMs.
HRESULT ConnectWithTimeout(ConnectRequest* request, DWORD timeoutMs, ComPtr<IWbemServices>* services) {
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    request->sameApartment = SUCCEEDED(CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_MTA;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 1024);
    if (!block) return E_OUTOFMEMORY;
    HRESULT hr = CreateStreamOnHGlobal(block, TRUE, &request->stream);
    if (FAILED(hr)) {
        GlobalFree(block);
        return hr;
    }

    HMODULE pinned = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ConnectWorker),
                            &pinned))
        return com::HResultFromWin32(static_cast<long>(GetLastError()));
    auto* start = new (std::nothrow) WorkerStart{request, pinned};
    if (!start) {
        FreeLibrary(pinned);
        return E_OUTOFMEMORY;
    }
    request->AddRef();  // the worker's reference
    com::UniqueHandle thread(CreateThread(nullptr, 0, ConnectWorker, start, 0, nullptr));
    if (!thread) {
        const DWORD error = GetLastError();
        delete start;
        request->Release();
        FreeLibrary(pinned);
        return com::HResultFromWin32(static_cast<long>(error));
    }

    const DWORD waited = WaitForSingleObject(thread.get(), timeoutMs);
    if (waited == WAIT_TIMEOUT) {
        if (request->Leave(ConnectRequest::kAbandoned) == ConnectRequest::kWaiting) return kTimeoutResult;
        // The worker finished just now: its result is ours after all.
    } else if (waited != WAIT_OBJECT_0) {
        if (request->Leave(ConnectRequest::kAbandoned) == ConnectRequest::kWaiting) return E_FAIL;
    }
    hr = request->result;
    if (FAILED(hr)) return hr;
    if (request->sameApartment) {
        *services = std::move(request->services);
        return S_OK;
    }
    LARGE_INTEGER zero = {};
    request->stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    return CoUnmarshalInterface(request->stream.Get(), IID_IWbemServices, reinterpret_cast<void**>(services->ReleaseAndGetAddressOf()));
}

// Strips backslashes from the end and then from the start.
std::wstring StripBackslashes(const wchar_t* text, size_t length) {
    size_t begin = 0, end = length;
    while (end > begin && text[end - 1] == L'\\') --end;
    while (begin < end && text[begin] == L'\\') ++begin;
    return std::wstring(text + begin, end - begin);
}

// A non-null, non-empty VT_BSTR.
bool HasText(const VARIANT* value) { return V_VT(value) == VT_BSTR && V_BSTR(value) && SysStringLen(V_BSTR(value)); }

bool IsOptionalString(const VARIANT* value) {
    const VARTYPE type = V_VT(value);
    return type == VT_EMPTY || type == VT_NULL || type == VT_BSTR || IsMissing(value);
}

}  // namespace

STDMETHODIMP CQvWMIAccess::Connect(VARIANT bstrServer, VARIANT bstrNamespace, VARIANT bstrDomain,
                                   VARIANT bstrUserName, VARIANT bstrPassword, VARIANT bstrLocale,
                                   VARIANT lConnectionTimeout, IQvWMIServer** ppServer) {
    static const wchar_t kAction[] = L"Component::Connect";
    VARIANT scratch[7];
    const VARIANT* server = DereferenceArgument(&bstrServer, &scratch[0]);
    const VARIANT* nameSpace = DereferenceArgument(&bstrNamespace, &scratch[1]);
    const VARIANT* userName = DereferenceArgument(&bstrUserName, &scratch[2]);
    const VARIANT* domainArg = DereferenceArgument(&bstrDomain, &scratch[3]);
    const VARIANT* passwordArg = DereferenceArgument(&bstrPassword, &scratch[4]);
    const VARIANT* localeArg = DereferenceArgument(&bstrLocale, &scratch[5]);
    const VARIANT* timeoutArg = DereferenceArgument(&lConnectionTimeout, &scratch[6]);

    const struct {
        const VARIANT* value;
        const wchar_t* name;
    } strings[] = {{server, L"bstrServer"},       {nameSpace, L"bstrNamespace"}, {userName, L"bstrUserName"},
                   {domainArg, L"bstrDomain"},    {passwordArg, L"bstrPassword"}, {localeArg, L"bstrLocale"}};
    for (const auto& argument : strings)
        if (!IsOptionalString(argument.value))
            return ReportError(kAction, E_INVALIDARG, IDS_ARG_INVALID, argument.name);
    const VARTYPE timeoutType = V_VT(timeoutArg);
    if (timeoutType != VT_EMPTY && timeoutType != VT_I4 && !IsMissing(timeoutArg))
        return ReportError(kAction, E_INVALIDARG, IDS_ARG_INVALID, L"lConnectionTimeout");
    if (!ppServer) return ReportError(kAction, E_POINTER, IDS_ARG_NULL, L"ppServer");
    *ppServer = nullptr;

    ComPtr<IWbemLocator> locator = Locator();
    if (!locator) return ReportError(kAction, E_FAIL, IDS_INVALID_STATE);

    ComPtr<IWbemServices> services;
    std::wstring serverName, namespaceName, networkPath, user, domain, authority;
    bool hasUser = false, hasDomain = false;
    try {
        serverName = HasText(server) ? StripBackslashes(V_BSTR(server), SysStringLen(V_BSTR(server))) : L".";
        namespaceName =
            HasText(nameSpace) ? StripBackslashes(V_BSTR(nameSpace), SysStringLen(V_BSTR(nameSpace))) : L"cimv2";
        // A namespace written from the root ("root\cimv2", "root/cimv2",
        // "root") names the same place as one written below it ("cimv2").
        std::wstring pathBelowServer = L"\\root";
        if (_wcsnicmp(namespaceName.c_str(), L"root", 4) == 0 &&
            (namespaceName.size() == 4 || namespaceName[4] == L'\\' || namespaceName[4] == L'/')) {
            namespaceName.erase(0, namespaceName.size() == 4 ? 4 : 5);
            if (!namespaceName.empty()) pathBelowServer += L"\\" + namespaceName;
        } else {
            pathBelowServer += L"\\" + namespaceName;
        }
        networkPath = L"\\\\" + serverName + pathBelowServer;

        std::wstring userDomain;
        bool hasUserDomain = false;
        if (V_VT(userName) == VT_BSTR && V_BSTR(userName)) {
            hasUser = true;
            user.assign(V_BSTR(userName), SysStringLen(V_BSTR(userName)));
            const size_t separator = user.find_first_of(L"\\/");
            if (separator != std::wstring::npos && separator > 0) {
                userDomain = user.substr(0, separator);
                user.erase(0, separator + 1);
                hasUserDomain = true;
            }
        }
        if (HasText(domainArg)) {
            domain.assign(V_BSTR(domainArg), SysStringLen(V_BSTR(domainArg)));
            hasDomain = true;
        } else if (serverName == L".") {
            domain = userDomain;
            hasDomain = hasUserDomain;
        } else {
            domain = serverName;
            hasDomain = true;
        }
        if (hasDomain) authority = L"ntlmdomain:" + domain;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    const wchar_t* password = V_VT(passwordArg) == VT_BSTR ? V_BSTR(passwordArg) : nullptr;
    const wchar_t* locale = V_VT(localeArg) == VT_BSTR ? V_BSTR(localeArg) : nullptr;
    long timeout = 0;
    {
        CAutoLock guard(*this);
        get_Timeout(&timeout);  // takes the same lock again: it nests
    }
    if (V_VT(timeoutArg) == VT_I4) timeout = V_I4(timeoutArg);

    // Failures of the connection itself come back bare: clear any older
    // description so it is not read as this call's.
    ClearErrorInfo();
    HRESULT hr;
    if (timeout == -1) {
        com::UniqueBstr path(SysAllocString(networkPath.c_str()));
        com::UniqueBstr authorityText(hasDomain ? SysAllocString(authority.c_str()) : nullptr);
        com::UniqueBstr userText(hasUser ? SysAllocStringLen(user.data(), static_cast<UINT>(user.size())) : nullptr);
        com::UniqueBstr passwordText(password ? SysAllocStringLen(password, SysStringLen(V_BSTR(passwordArg))) : nullptr);
        com::UniqueBstr localeText(locale ? SysAllocStringLen(locale, SysStringLen(V_BSTR(localeArg))) : nullptr);
        hr = locator->ConnectServer(path.get(), userText.get(), passwordText.get(), localeText.get(), 0,
                                    authorityText.get(), nullptr, &services);
        if (passwordText) com::SecureZero(passwordText.get(), SysStringByteLen(passwordText.get()));
    } else {
        auto* request = new (std::nothrow) ConnectRequest;
        if (!request) return E_OUTOFMEMORY;
        request->locator = locator;
        request->path.reset(SysAllocString(networkPath.c_str()));
        // The authority reaches the worker only together with a user name.
        if (hasDomain && hasUser) request->authority.reset(SysAllocString(authority.c_str()));
        if (hasUser) request->user.reset(SysAllocStringLen(user.data(), static_cast<UINT>(user.size())));
        if (password) request->password.reset(SysAllocStringLen(password, SysStringLen(V_BSTR(passwordArg))));
        if (locale) request->locale.reset(SysAllocStringLen(locale, SysStringLen(V_BSTR(localeArg))));
        const bool complete = request->path && (!hasDomain || !hasUser || request->authority) &&
                              (!hasUser || request->user) && (!password || request->password) &&
                              (!locale || request->locale);
        hr = complete ? ConnectWithTimeout(request, static_cast<DWORD>(timeout), &services) : E_OUTOFMEMORY;
        request->Release();
    }
    if (FAILED(hr)) return hr;

    return CQvWMIServer::Create(this, services.Get(), serverName.c_str(), namespaceName.c_str(),
                                networkPath.c_str(), hasDomain ? domain.c_str() : nullptr,
                                hasUser ? user.c_str() : nullptr, password, locale, ppServer);
}
