// Helpers shared by the Windows test programs.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <cstdio>
#include <string>

using Microsoft::WRL::ComPtr;

// Joins a COM apartment for the scope.
class ComApartment {
public:
    explicit ComApartment(DWORD model = COINIT_MULTITHREADED) { hr_ = CoInitializeEx(nullptr, model); }
    ~ComApartment() {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    HRESULT result() const { return hr_; }

private:
    HRESULT hr_;
};

// An HRESULT in the form the failure messages print: 0x80070057.
inline std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}
#define EXPECT_HR(expected, actual) EXPECT_EQ(Hex(expected), Hex(actual))
#define ASSERT_HR(expected, actual) ASSERT_EQ(Hex(expected), Hex(actual))

// The thread's error information, taken (and so cleared) by GetErrorInfo.
struct ErrorRecord {
    bool present = false;
    GUID guid = {};
    std::wstring source;
    std::wstring description;
    DWORD helpContext = 0;
};

inline ErrorRecord TakeErrorInfo() {
    ErrorRecord record;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) != S_OK || !info) return record;
    record.present = true;
    info->GetGUID(&record.guid);
    BSTR text = nullptr;
    if (SUCCEEDED(info->GetSource(&text)) && text) record.source = text;
    SysFreeString(text);
    text = nullptr;
    if (SUCCEEDED(info->GetDescription(&text)) && text) record.description = text;
    SysFreeString(text);
    info->GetHelpContext(&record.helpContext);
    return record;
}

// The system's message text for a code, as FormatMessageW gives it.
inline std::wstring SystemText(HRESULT hr) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  nullptr, static_cast<DWORD>(hr), LANG_USER_DEFAULT,
                                  reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::wstring text = length ? std::wstring(buffer, length) : std::wstring();
    LocalFree(buffer);
    return text;
}

// The base text the bridge puts first: the system's text for the code, or
// its own text for a code the system does not describe.
inline std::wstring BaseText(HRESULT hr) {
    std::wstring text = SystemText(hr);
    if (!text.empty()) return text;
    wchar_t unknown[64];
    swprintf(unknown, 64, L"An unknown error(0x%08lX) occurred", static_cast<unsigned long>(hr));
    return unknown;
}

// A file beside the running test program (the build's bin folder).
inline std::wstring BinPath(const wchar_t* file) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    folder.resize(folder.find_last_of(L"\\/") + 1);
    return folder + file;
}

// The optional-argument marker: VT_ERROR holding DISP_E_PARAMNOTFOUND.
inline VARIANT MissingArgument() {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_ERROR;
    V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
    return v;
}

// The threads of this process now.
inline int ProcessThreadCount() {
    int threads = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++threads;
    CloseHandle(snapshot);
    return threads;
}

// Text for a failure message.
inline std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// A BSTR owned for the scope.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(const wchar_t* text) : value_(SysAllocString(text)) {}
    ~Bstr() { SysFreeString(value_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return value_; }
    BSTR* put() {
        SysFreeString(value_);
        value_ = nullptr;
        return &value_;
    }
    std::wstring str() const { return value_ ? std::wstring(value_, SysStringLen(value_)) : std::wstring(); }
    bool null() const { return value_ == nullptr; }

private:
    BSTR value_ = nullptr;
};
