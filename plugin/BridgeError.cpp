#include "BridgeError.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <cwchar>
#include <new>

#include "../common/Raii.h"

void BridgeError::BeforeCall() noexcept { SetErrorInfo(0, nullptr); }

std::wstring BridgeError::DescribeCode(HRESULT hr) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        static_cast<DWORD>(hr), LANG_USER_DEFAULT, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    com::UniqueLocalMem owner(buffer);
    if (length && buffer) {
        std::wstring text(buffer, length);
        while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
        return text;
    }
    wchar_t text[64];
    swprintf(text, 64, L"Error 0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

void BridgeError::Record(HRESULT hr) noexcept {
    number_ = hr;
    try {
        description_.clear();
        Microsoft::WRL::ComPtr<IErrorInfo> info;
        if (GetErrorInfo(0, &info) == S_OK && info) {
            com::UniqueBstr text;
            if (SUCCEEDED(info->GetDescription(text.put())) && text)
                description_.assign(text.get(), SysStringLen(text.get()));
        }
        if (description_.empty()) description_ = DescribeCode(hr);
    } catch (const std::bad_alloc&) {
        description_.clear();
    }
}

std::wstring BridgeError::Text() const {
    return L"(" + std::to_wstring(static_cast<long>(number_)) + L")" + description_;
}

Microsoft::WRL::ComPtr<IQvWMIAccess> OpenAccess(HRESULT timeoutRead, long timeoutMs, long authenticationLevel,
                                                long impersonationLevel, BridgeError* error) {
    const bool timeoutKnown = error->PlainStep(timeoutRead);
    Microsoft::WRL::ComPtr<IQvWMIAccess> access;
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(L"QvWMI.Access", &clsid);
    if (SUCCEEDED(hr)) hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IQvWMIAccess, &access);
    if (!error->PlainStep(hr)) return access;
    if (timeoutKnown) error->Call([&] { return access->put_Timeout(timeoutMs); });
    error->Call([&] {
        return access->put_AuthenticationLevel(static_cast<EQvWMIAuthenticationLevel>(authenticationLevel));
    });
    error->Call([&] {
        return access->put_ImpersonationLevel(static_cast<EQvWMIImpersonationLevel>(impersonationLevel));
    });
    error->Call([&] { return access->Initialize(); });
    return access;
}
