// Small helpers shared by the benchmark programs.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>

namespace bench {

// Ends the benchmark when a call it depends on fails.
inline void Check(HRESULT hr, const char* what) {
    if (FAILED(hr)) {
        std::fprintf(stderr, "bench: %s failed with 0x%08lX\n", what, static_cast<unsigned long>(hr));
        std::exit(1);
    }
}

// A VT_BSTR value; the caller clears it.
inline VARIANT Text(const wchar_t* text) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(text);
    return v;
}

// The optional-argument marker.
inline VARIANT Missing() {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_ERROR;
    V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
    return v;
}

// The process's threads, private memory and address space in use (reserved
// or committed: thread stacks count in full) now.
struct Usage {
    DWORD threads = 0;
    SIZE_T privateBytes = 0;
    unsigned long long addressBytes = 0;
};

inline unsigned long long AddressSpaceInUse() {
    unsigned long long used = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;) {
        if (region.State != MEM_FREE) used += region.RegionSize;
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (next <= at) break;
        at = next;
    }
    return used;
}

inline Usage CurrentUsage() {
    Usage usage;
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
    // Wine leaves PrivateUsage at 0; PagefileUsage is the same figure on Windows.
    usage.privateBytes = memory.PrivateUsage ? memory.PrivateUsage : memory.PagefileUsage;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++usage.threads;
    CloseHandle(snapshot);
    usage.addressBytes = AddressSpaceInUse();
    return usage;
}

}  // namespace bench
