#include "Console.h"

#include <csignal>
#include <exception>

namespace {

HANDLE Handle(Stream stream) noexcept {
    return GetStdHandle(stream == Stream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

VerdictStyle g_style = VerdictStyle::Host;
volatile LONG g_verdictClaimed = 0;
volatile LONG g_verdictCode = 3;
volatile LONG g_verdictWritten = 0;

// Fixed buffers: the emergency paths must not touch a heap that may be the
// reason for the crash.
wchar_t g_watchdogReason[160];
DWORD g_watchdogMs = 0;

// Time since the process started, on the tick count: the start is known only
// on the wall clock, so the wall clock is read once, as this program's own
// code begins, and from then on only the tick count, which no clock change
// moves.
class SinceStart {
public:
    SinceStart() noexcept : baseTicks_(GetTickCount64()) {
        FILETIME created, exited, kernel, user, now;
        if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return;
        GetSystemTimeAsFileTime(&now);
        const ULONGLONG start = (static_cast<ULONGLONG>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
        const ULONGLONG current = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
        // A clock step during the loader's few milliseconds could make this
        // absurd: more than a minute is taken as none.
        const ULONGLONG loadedMs = current > start ? (current - start) / 10000 : 0;
        loadedMs_ = loadedMs < 60000 ? loadedMs : 0;
    }
    ULONGLONG ElapsedMs() const noexcept { return loadedMs_ + (GetTickCount64() - baseTicks_); }

private:
    ULONGLONG baseTicks_;
    ULONGLONG loadedMs_ = 0;
};
const SinceStart g_sinceStart;

void Append(wchar_t* buffer, size_t size, const wchar_t* text) noexcept {
    size_t used = 0;
    while (used + 1 < size && buffer[used]) ++used;
    while (used + 1 < size && *text) buffer[used++] = *text++;
    buffer[used] = L'\0';
}

void AppendHex(wchar_t* buffer, size_t size, unsigned long value) noexcept {
    wchar_t digits[11] = L"0x";
    for (int i = 0; i < 8; ++i) digits[2 + i] = L"0123456789ABCDEF"[(value >> (28 - 4 * i)) & 0xF];
    digits[10] = L'\0';
    Append(buffer, size, digits);
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
    wchar_t reason[96] = L"wmicheck crashed: exception ";
    const EXCEPTION_RECORD* record = info ? info->ExceptionRecord : nullptr;
    AppendHex(reason, 96, record ? record->ExceptionCode : 0);
    Append(reason, 96, L" at ");
    const ULONG_PTR address = record ? reinterpret_cast<ULONG_PTR>(record->ExceptionAddress) : 0;
    AppendHex(reason, 96, static_cast<unsigned long>(address));
    FailRun(reason);
}

void OnTerminate() { FailRun(L"wmicheck stopped on an unexpected error"); }

void OnAbort(int) { FailRun(L"wmicheck stopped on an unexpected error (abort)"); }

DWORD WINAPI Watchdog(void*) {
    Sleep(g_watchdogMs);
    if (!g_verdictClaimed) FailRun(g_watchdogReason);
    // The verdict is out; give the normal exit a moment, then end it.
    Sleep(2000);
    TerminateProcess(GetCurrentProcess(), g_verdictWritten ? static_cast<UINT>(g_verdictCode) : 3);
    return 0;
}

}  // namespace

void WriteText(Stream stream, const wchar_t* text, size_t length) noexcept {
    const HANDLE handle = Handle(stream);
    if (!handle || handle == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    const bool console = GetConsoleMode(handle, &mode) != 0;
    constexpr size_t kChunk = 512;
    while (length > 0) {
        size_t take = length < kChunk ? length : kChunk;
        // Never split a surrogate pair between two chunks.
        if (take < length && take > 1 && IS_HIGH_SURROGATE(text[take - 1])) --take;
        DWORD written = 0;
        if (console) {
            if (!WriteConsoleW(handle, text, static_cast<DWORD>(take), &written, nullptr)) return;
        } else {
            char bytes[kChunk * 3];
            const int count = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(take), bytes,
                                                  static_cast<int>(sizeof bytes), nullptr, nullptr);
            if (count <= 0 || !WriteFile(handle, bytes, static_cast<DWORD>(count), &written, nullptr)) return;
        }
        text += take;
        length -= take;
    }
}

void WriteLine(Stream stream, const std::wstring& text) noexcept {
    WriteText(stream, text);
    WriteText(stream, L"\r\n", 2);
}

void InstallCrashGuard(VerdictStyle style) noexcept {
    g_style = style;
    SetUnhandledExceptionFilter(OnUnhandledException);
    std::set_terminate(OnTerminate);
    std::signal(SIGABRT, OnAbort);
    // No error boxes: a monitoring run has nobody to click them away.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
}

bool ClaimVerdict(int exitCode) noexcept {
    if (InterlockedCompareExchange(&g_verdictClaimed, 1, 0) != 0) return false;
    InterlockedExchange(&g_verdictCode, exitCode);
    return true;
}

int PrintVerdict(const std::wstring& line, int exitCode) noexcept {
    if (!ClaimVerdict(exitCode)) {
        // The watchdog or a crash handler has the verdict and ends the process.
        for (;;) Sleep(INFINITE);
    }
    WriteLine(Stream::Out, line);
    InterlockedExchange(&g_verdictWritten, 1);
    return exitCode;
}

void FailRun(const wchar_t* reason) noexcept {
    // A verdict claimed but not yet out (a crash while writing it) must not
    // end as that verdict's exit code: it may be 0.
    if (!ClaimVerdict(3))
        TerminateProcess(GetCurrentProcess(), g_verdictWritten ? static_cast<UINT>(g_verdictCode) : 3);
    wchar_t line[320] = L"";
    switch (g_style) {
    case VerdictStyle::Host:
        Append(line, 320, L"UNKNOWN: ");
        Append(line, 320, reason);
        break;
    case VerdictStyle::Plugin:
        Append(line, 320, L"WMI UNKNOWN - ");
        Append(line, 320, reason);
        break;
    case VerdictStyle::Json:
        // The reasons are plain ASCII without quotes or backslashes.
        Append(line, 320, L"{\"state\":\"UNKNOWN\",\"exit_code\":3,\"text\":\"");
        Append(line, 320, reason);
        Append(line, 320, L"\",\"perfdata\":\"\",\"count\":null,\"instances\":[]}");
        break;
    }
    Append(line, 320, L"\r\n");
    size_t length = 0;
    while (line[length]) ++length;
    WriteText(Stream::Out, line, length);
    // Not ExitProcess: DLL shutdown could wait on the very thread that hangs.
    TerminateProcess(GetCurrentProcess(), 3);
    for (;;) Sleep(INFINITE);
}

void EndProcess(int exitCode) noexcept {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    for (;;) Sleep(INFINITE);
}

ULONGLONG MsSinceStart() noexcept { return g_sinceStart.ElapsedMs(); }

void StartWatchdog(DWORD ms, const std::wstring& reason) noexcept {
    // Counted from the process's start, which is what its caller measures.
    const ULONGLONG elapsedMs = g_sinceStart.ElapsedMs();
    ms = elapsedMs < ms ? ms - static_cast<DWORD>(elapsedMs) : 0;
    g_watchdogMs = ms;
    g_watchdogReason[0] = L'\0';
    Append(g_watchdogReason, sizeof g_watchdogReason / sizeof g_watchdogReason[0], reason.c_str());
    HANDLE thread = CreateThread(nullptr, 64 * 1024, Watchdog, nullptr, 0, nullptr);
    if (thread) CloseHandle(thread);
}
