// Cost of a check: km_docheck of ostrel.WMICom against the same sequence of
// bridge calls made directly from C++ in a single-threaded apartment (through
// the same proxies), and a soak of many checks in one process watching
// handles, threads and private memory.
// Usage: check_bench.exe [checks=200] [soak=10000]   (make bench)
#include <windows.h>
#include <oleauto.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ostrel_h.h"
#include "BenchSupport.h"
#include "qvWMI_h.h"

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

namespace {

using bench::Check;
using bench::Missing;
using bench::Text;

const wchar_t kParameters[] =
    L"#ENC=T#USR=#PWD=#NSP=root\\cimv2#DOM=#LOC=#CLS=Win32_OperatingSystem#FIL=#PRO=Caption#PRI=-1#CWA=CON"
    L"#CVA=Windows#AUL=4#IML=3#";

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Phases of one check made directly on the bridge.
struct Phases {
    double initialize = 0, connect = 0, getClass = 0, instances = 0, walk = 0;
    double total() const { return initialize + connect + getClass + instances + walk; }
};

Phases DirectCheck(const CLSID& bridge) {
    Phases phases;
    auto start = Clock::now();
    ComPtr<IQvWMIAccess> access;
    Check(CoCreateInstance(bridge, nullptr, CLSCTX_INPROC_SERVER, IID_IQvWMIAccess, &access), "access");
    access->put_Timeout(30000);
    access->put_AuthenticationLevel(QV_WMI_AUTHENTICATION_LEVEL_PKT);
    access->put_ImpersonationLevel(QV_WMI_IMPERSONATION_LEVEL_IMPERSONATE);
    Check(access->Initialize(), "Initialize");
    auto mark = Clock::now();
    phases.initialize = Ms(mark - start);

    ComPtr<IQvWMIServer> server;
    VARIANT host = Text(L"."), nameSpace = Text(L"root\\cimv2");
    Check(access->Connect(host, nameSpace, Missing(), Missing(), Missing(), Missing(), Missing(), &server), "Connect");
    VariantClear(&host);
    VariantClear(&nameSpace);
    start = Clock::now();
    phases.connect = Ms(start - mark);

    ComPtr<IQvWMIClass> cls;
    BSTR path = SysAllocString(L"Win32_OperatingSystem");
    Check(server->GetClass(path, &cls), "GetClass");
    SysFreeString(path);
    mark = Clock::now();
    phases.getClass = Ms(mark - start);

    ComPtr<IQvWMIInstanceCollection> instances;
    ComPtr<IQvWMIPropertyCollection> properties;
    VARIANT filter = Text(L"");
    Check(cls->get_Instances(filter, &instances), "Instances");
    VariantClear(&filter);
    Check(cls->get_Properties(&properties), "Properties");
    start = Clock::now();
    phases.instances = Ms(start - mark);

    // The walk: every property of every instance, as the check reads them.
    ComPtr<IUnknown> unknown;
    ComPtr<IEnumVARIANT> items;
    instances->get__NewEnum(&unknown);
    unknown.As(&items);
    VARIANT item;
    VariantInit(&item);
    while (items->Next(1, &item, nullptr) == S_OK) {
        ComPtr<IQvWMIInstance> instance;
        V_DISPATCH(&item)->QueryInterface(IID_IQvWMIInstance, reinterpret_cast<void**>(instance.GetAddressOf()));
        VariantClear(&item);
        ComPtr<IUnknown> propertyUnknown;
        ComPtr<IEnumVARIANT> propertyItems;
        properties->get__NewEnum(&propertyUnknown);
        propertyUnknown.As(&propertyItems);
        VARIANT property;
        VariantInit(&property);
        while (propertyItems->Next(1, &property, nullptr) == S_OK) {
            ComPtr<IQvWMIPropertyDescriptor> descriptor;
            V_DISPATCH(&property)->QueryInterface(IID_IQvWMIPropertyDescriptor,
                                                  reinterpret_cast<void**>(descriptor.GetAddressOf()));
            VariantClear(&property);
            BSTR name = nullptr;
            descriptor->get_Name(&name);
            VARIANT value;
            VariantInit(&value);
            instance->get_Field(name, &value);
            VariantClear(&value);
            SysFreeString(name);
        }
    }
    cls.Reset();
    server.Reset();
    access.Reset();
    phases.walk = Ms(Clock::now() - start);
    return phases;
}

double PluginCheck(_WMICom* plugin) {
    const auto start = Clock::now();
    VARIANT_BOOL verdict = VARIANT_FALSE;
    Check(plugin->km_docheck(&verdict), "km_docheck");
    return Ms(Clock::now() - start);
}

struct Usage {
    DWORD handles = 0;
    DWORD threads = 0;
    SIZE_T privateBytes = 0;
};

Usage CurrentUsage() {
    Usage usage;
    GetProcessHandleCount(GetCurrentProcess(), &usage.handles);
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
    return usage;
}

void Summary(const char* name, std::vector<double> times) {
    std::sort(times.begin(), times.end());
    std::printf("%-34s median %7.2f ms, 95th percentile %7.2f ms\n", name, times[times.size() / 2],
                times[times.size() * 95 / 100]);
}

}  // namespace

int main(int argc, char** argv) {
    const int checks = argc > 1 ? std::atoi(argv[1]) : 200;
    const int soak = argc > 2 ? std::atoi(argv[2]) : 10000;
    Check(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "CoInitializeEx");
    {
        CLSID pluginClsid, bridgeClsid;
        Check(CLSIDFromProgID(L"ostrel.WMICom", &pluginClsid), "ostrel.WMICom");
        Check(CLSIDFromProgID(L"QvWMI.Access", &bridgeClsid), "QvWMI.Access");
        ComPtr<_WMICom> plugin;
        Check(CoCreateInstance(pluginClsid, nullptr, CLSCTX_INPROC_SERVER, IID__WMICom, &plugin), "plugin");
        VARIANT host = Text(L"."), timeout = Text(L"30"), parameters = Text(kParameters);
        plugin->put_km_hostname(host);
        plugin->put_km_timeout(timeout);
        plugin->put_km_parameter(parameters);
        VariantClear(&host);
        VariantClear(&timeout);
        VariantClear(&parameters);

        PluginCheck(plugin.Get());
        DirectCheck(bridgeClsid);
        std::vector<double> pluginTimes, directTimes;
        Phases sum;
        for (int i = 0; i < checks; ++i) {
            pluginTimes.push_back(PluginCheck(plugin.Get()));
            const Phases phases = DirectCheck(bridgeClsid);
            directTimes.push_back(phases.total());
            sum.initialize += phases.initialize;
            sum.connect += phases.connect;
            sum.getClass += phases.getClass;
            sum.instances += phases.instances;
            sum.walk += phases.walk;
        }
        std::printf("checks: %d of Win32_OperatingSystem.Caption CON Windows, single-threaded apartment\n", checks);
        Summary("km_docheck", pluginTimes);
        Summary("the same bridge calls from C++", directTimes);
        std::sort(pluginTimes.begin(), pluginTimes.end());
        std::sort(directTimes.begin(), directTimes.end());
        std::printf("plug-in over bridge calls (medians): %+.1f%% (target <= +20%%)\n",
                    100.0 * (pluginTimes[checks / 2] / directTimes[checks / 2] - 1.0));
        const double total = sum.total();
        std::printf("share of a check: Initialize %.0f%%, Connect %.0f%%, GetClass %.0f%%, Instances %.0f%%, "
                    "walk %.0f%%\n",
                    100 * sum.initialize / total, 100 * sum.connect / total, 100 * sum.getClass / total,
                    100 * sum.instances / total, 100 * sum.walk / total);

        if (soak > 100) {
            for (int i = 0; i < 100; ++i) PluginCheck(plugin.Get());
            const Usage before = CurrentUsage();
            const auto start = Clock::now();
            // A check that does not return within a minute is reported, with
            // the figures reached so far (Wine's RPC runtime can hang on the
            // release of a proxy; see docs/PLATFORM-NOTES.md).
            static volatile LONG completed = 100;
            static Usage reached;
            reached = before;
            std::thread([before, soak] {
                LONG seen = -1;
                for (;;) {
                    Sleep(60000);
                    const LONG now = completed;
                    if (now >= soak) return;
                    if (now == seen) {
                        std::printf("soak: stopped after %ld checks: a check did not return within a minute; "
                                    "threads %lu -> %lu, private memory %.0f KiB -> %.0f KiB\n",
                                    now, before.threads, reached.threads, before.privateBytes / 1024.0,
                                    reached.privateBytes / 1024.0);
                        std::fflush(stdout);
                        ExitProcess(4);
                    }
                    seen = now;
                }
            }).detach();
            for (int i = 100; i < soak; ++i) {
                PluginCheck(plugin.Get());
                if (i % 100 == 99) reached = CurrentUsage();
                InterlockedIncrement(&completed);
            }
            const Usage after = CurrentUsage();
            std::printf("soak: %d checks in %.1f s; after the first 100 -> at the end: handles %lu -> %lu, "
                        "threads %lu -> %lu, private memory %.0f KiB -> %.0f KiB (growth %+.0f KiB, target < 1024)\n",
                        soak, Ms(Clock::now() - start) / 1000, before.handles, after.handles, before.threads,
                        after.threads, before.privateBytes / 1024.0, after.privateBytes / 1024.0,
                        (static_cast<double>(after.privateBytes) - before.privateBytes) / 1024.0);
        }
        std::fflush(stdout);
    }
    CoUninitialize();
    return 0;
}
