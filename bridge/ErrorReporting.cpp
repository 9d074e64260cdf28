#include "ErrorReporting.h"

#include <oleauto.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <cstdarg>
#include <cwchar>
#include <map>
#include <string>

#include "../common/BoundedWork.h"
#include "../common/ComModule.h"
#include "../common/HResult.h"
#include "../common/Raii.h"
#include "qvWMI_h.h"

using Microsoft::WRL::ComPtr;

namespace {

// Modules that hold WMI's message texts, loaded at most once per process and
// never unloaded; shared by every thread that reports.
class MessageModuleCache {
public:
    HMODULE Get(const std::wstring& path) {
        com::CriticalSectionGuard guard(lock_);
        auto found = modules_.find(path);
        if (found != modules_.end()) return found->second;
        HMODULE module = LoadLibraryW(path.c_str());
        if (module) modules_.emplace(path, module);
        return module;
    }

private:
    com::CriticalSection lock_;
    std::map<std::wstring, HMODULE> modules_;
};

MessageModuleCache g_messageModules;

std::wstring FormatV(const wchar_t* format, va_list args) {
    va_list counting;
    va_copy(counting, args);
    const int length = _vscwprintf(format, counting);
    va_end(counting);
    if (length <= 0) return std::wstring();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    _vsnwprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

std::wstring Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = FormatV(format, args);
    va_end(args);
    return text;
}

// The string resource, or false when the id does not load.
bool LoadResourceString(UINT id, std::wstring* text) {
    const wchar_t* resource = nullptr;
    const int length = LoadStringW(com::ThisModule().Instance(), id, reinterpret_cast<LPWSTR>(&resource), 0);
    if (length <= 0 || !resource) return false;
    text->assign(resource, static_cast<size_t>(length));
    return true;
}

bool FormatFrom(DWORD source, HMODULE module, HRESULT hr, std::wstring* text) {
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(source | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, module,
                       static_cast<DWORD>(hr), LANG_USER_DEFAULT, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    com::UniqueLocalMem owner(buffer);
    if (length == 0 || !buffer) return false;
    text->assign(buffer, length);
    return true;
}

// The text for hr: the system's, else WMI's message modules', else the
// bridge's own "unknown error" text.
std::wstring BaseText(HRESULT hr) {
    std::wstring text;
    if (FormatFrom(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, hr, &text)) return text;

    wchar_t folder[MAX_PATH];
    if (SHGetSpecialFolderPathW(nullptr, folder, CSIDL_SYSTEM, FALSE)) {
        CharLowerW(folder);
        for (const wchar_t* name : {L"\\wbem\\wmiutils.dll", L"\\wbem\\wbemcomn.dll"}) {
            std::wstring path = std::wstring(folder) + name;
            if (path.size() > MAX_PATH) continue;
            HMODULE module = g_messageModules.Get(path);
            if (module && FormatFrom(FORMAT_MESSAGE_FROM_HMODULE, module, hr, &text)) return text;
        }
    }

    std::wstring format;
    if (!LoadResourceString(IDS_UNKNOWN_ERROR, &format)) format = L"An unknown error(0x%08X) ocurred";
    return Format(format.c_str(), static_cast<unsigned>(hr));
}

void SetErrorInformation(const std::wstring& description) {
    ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(&create))) return;
    create->SetGUID(CLSID_QvWMIAccess);
    create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
    std::wstring source;
    if (LoadResourceString(IDS_ERROR_SOURCE, &source) && !source.empty())
        create->SetSource(const_cast<LPOLESTR>(source.c_str()));
    create->SetHelpContext(0);
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create.As(&info))) SetErrorInfo(0, info.Get());
}

HRESULT ReportErrorV(const wchar_t* action, HRESULT hr, UINT messageId, va_list args) noexcept {
    try {
        std::wstring description = BaseText(hr);
        if (action) description += Format(L" (ACTION: %s)", action);
        std::wstring message;
        if (LoadResourceString(messageId, &message))
            description += Format(L" (CONTEXT: %s)", FormatV(message.c_str(), args).c_str());
        SetErrorInformation(description);
    } catch (...) {
        // Out of memory: the failure still goes back, without a description.
    }
    return hr;
}

}  // namespace

HRESULT ReportError(const wchar_t* action, HRESULT hr, UINT messageId, ...) noexcept {
    va_list args;
    va_start(args, messageId);
    ReportErrorV(action, hr, messageId, args);
    va_end(args);
    return hr;
}

HRESULT ReportWin32Error(const wchar_t* action, long win32Error, UINT messageId, ...) noexcept {
    const HRESULT hr = com::HResultFromWin32(win32Error);
    va_list args;
    va_start(args, messageId);
    ReportErrorV(action, hr, messageId, args);
    va_end(args);
    return hr;
}

HRESULT ReportRefusal(const wchar_t* action, HRESULT hr, const com::BoundedWork& work) noexcept {
    const com::BoundedWork::Refusal why = work.Refused();
    if (why == com::BoundedWork::Refusal::kNone) return hr;
    wchar_t seconds[32], count[16];
    swprintf(seconds, 32, L"%.1f", static_cast<double>(work.BlockerRunningMs()) / 1000.0);
    swprintf(count, 16, L"%d", work.AbandonedAtRefusal());
    const wchar_t* target = work.BlockerTarget().c_str();
    if (why == com::BoundedWork::Refusal::kTargetStuck) return ReportError(action, hr, IDS_TARGET_BUSY, target, seconds);
    return ReportError(action, hr, IDS_TOO_MANY_ABANDONED, count, target, seconds);
}

void ClearErrorInfo() noexcept { SetErrorInfo(0, nullptr); }
