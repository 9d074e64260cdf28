// Cost of a check, and a soak of many checks in one host process.
//
// Latency, for two checks (Win32_OperatingSystem.Caption, and Win32_Service
// filtered to one service), taking turns in one process:
//   P  km_docheck of ostrel.WMICom, called from a single-threaded apartment
//      as the monitoring host calls it;
//   B  the same bridge calls made bare from C++ in the multithreaded
//      apartment, phase by phase;
//   F  the floor: the same WMI work straight on WMI's interfaces in the
//      multithreaded apartment (locator, connection, class fetch, query,
//      every property of every instance read).
// Soak: consecutive checks from one single-threaded apartment, then from two
// host threads at once; threads and private memory after the first 100
// checks and at the end, and every check's verdict.
// Usage: check_bench.exe [checks=200] [soak=10000]   (make bench)
#include <windows.h>
#include <oleauto.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <wbemidl.h>

#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "ParameterString.h"
#include "PluginBench.h"
#include "ostrel_h.h"
#include "qvWMI_h.h"

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

namespace {

using bench::Check;
using bench::MakePlugin;
using bench::CurrentUsage;
using bench::Usage;
using bench::Missing;
using bench::Text;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Scenario {
    const char* name;
    std::wstring classPath, filter, property, op, compare;
};

std::wstring ParameterString(const Scenario& s) {
    CheckParameters fields;
    fields.nameSpace = L"root\\cimv2";
    fields.classPath = s.classPath;
    fields.filter = s.filter;
    fields.property = s.property;
    fields.operatorCode = s.op;
    fields.compareValue = s.compare;
    std::wstring text;
    Check(ComposeParameterString(fields, &text), "ComposeParameterString");
    return text;
}

// Phases of one run, in milliseconds.
struct Phases {
    double initialize = 0, connect = 0, getClass = 0, query = 0, walk = 0, total = 0;
};

// Runs f on a new thread in the multithreaded apartment and returns its result.
template <class F>
auto InMultithreadedApartment(F f) {
    decltype(f()) result{};
    std::thread([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        result = f();
        CoUninitialize();
    }).join();
    return result;
}

// F: WMI's own interfaces. "connect" includes creating the locator.
Phases Floor(const Scenario& s) {
    Phases p;
    const auto start = Clock::now();
    ComPtr<IWbemLocator> locator;
    Check(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, &locator), "locator");
    ComPtr<IWbemServices> services;
    BSTR path = SysAllocString(L"\\\\.\\root\\cimv2");
    Check(locator->ConnectServer(path, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services), "ConnectServer");
    SysFreeString(path);
    auto mark = Clock::now();
    p.connect = Ms(mark - start);
    ComPtr<IWbemClassObject> definition;
    BSTR cls = SysAllocString(s.classPath.c_str());
    Check(services->GetObject(cls, 0, nullptr, &definition, nullptr), "GetObject");
    SysFreeString(cls);
    auto next = Clock::now();
    p.getClass = Ms(next - mark);
    mark = next;
    std::wstring statement = L"SELECT * FROM " + s.classPath + (s.filter.empty() ? L"" : L" WHERE " + s.filter);
    BSTR wql = SysAllocString(L"WQL"), query = SysAllocString(statement.c_str());
    ComPtr<IEnumWbemClassObject> results;
    Check(services->ExecQuery(wql, query, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr, &results),
          "ExecQuery");
    SysFreeString(wql);
    SysFreeString(query);
    std::vector<ComPtr<IWbemClassObject>> objects;
    for (;;) {
        IWbemClassObject* batch[64] = {};
        ULONG returned = 0;
        const HRESULT hr = results->Next(WBEM_INFINITE, 64, batch, &returned);
        for (ULONG i = 0; i < returned; ++i) objects.emplace_back().Attach(batch[i]);
        if (hr != S_OK || returned < 64) break;
    }
    next = Clock::now();
    p.query = Ms(next - mark);
    mark = next;
    for (auto& object : objects) {
        SAFEARRAY* names = nullptr;
        object->GetNames(nullptr, WBEM_FLAG_ALWAYS, nullptr, &names);
        BSTR* data = nullptr;
        SafeArrayAccessData(names, reinterpret_cast<void**>(&data));
        for (ULONG i = 0; i < names->rgsabound[0].cElements; ++i) {
            VARIANT value;
            VariantInit(&value);
            object->Get(data[i], 0, &value, nullptr, nullptr);
            VariantClear(&value);
        }
        SafeArrayUnaccessData(names);
        SafeArrayDestroy(names);
    }
    objects.clear();
    results.Reset();
    definition.Reset();
    services.Reset();
    locator.Reset();
    p.walk = Ms(Clock::now() - mark);
    p.total = Ms(Clock::now() - start);
    return p;
}

// B: the bridge calls of a check, bare; "initialize" includes creating the
// access object.
Phases Bare(const CLSID& bridge, const Scenario& s) {
    Phases p;
    const auto start = Clock::now();
    ComPtr<IQvWMIAccess> access;
    Check(CoCreateInstance(bridge, nullptr, CLSCTX_INPROC_SERVER, IID_IQvWMIAccess, &access), "access");
    access->put_Timeout(30000);
    access->put_AuthenticationLevel(QV_WMI_AUTHENTICATION_LEVEL_PKT);
    access->put_ImpersonationLevel(QV_WMI_IMPERSONATION_LEVEL_IMPERSONATE);
    Check(access->Initialize(), "Initialize");
    p.initialize = Ms(Clock::now() - start);
    ComPtr<IQvWMIServer> server;
    VARIANT host = Text(L"."), nameSpace = Text(L"root\\cimv2");
    Check(access->Connect(host, nameSpace, Missing(), Missing(), Missing(), Missing(), Missing(), &server), "Connect");
    VariantClear(&host);
    VariantClear(&nameSpace);
    auto mark = Clock::now();
    p.connect = Ms(mark - start) - p.initialize;
    ComPtr<IQvWMIClass> cls;
    BSTR path = SysAllocString(s.classPath.c_str());
    Check(server->GetClass(path, &cls), "GetClass");
    SysFreeString(path);
    auto next = Clock::now();
    p.getClass = Ms(next - mark);
    mark = next;
    ComPtr<IQvWMIInstanceCollection> instances;
    ComPtr<IQvWMIPropertyCollection> properties;
    VARIANT filter = Text(s.filter.c_str());
    Check(cls->get_Instances(filter, &instances), "Instances");
    VariantClear(&filter);
    Check(cls->get_Properties(&properties), "Properties");
    next = Clock::now();
    p.query = Ms(next - mark);
    mark = next;
    // The walk: every property of every instance, as the check reads them.
    LONG count = 0, propertyCount = 0;
    instances->get_Count(&count);
    properties->get_Count(&propertyCount);
    std::vector<BSTR> names;
    for (LONG k = 0; k < propertyCount; ++k) {
        ComPtr<IQvWMIPropertyDescriptor> descriptor;
        properties->GetAt(k, &descriptor);
        BSTR name = nullptr;
        descriptor->get_Name(&name);
        names.push_back(name);
    }
    for (LONG i = 0; i < count; ++i) {
        ComPtr<IQvWMIInstance> instance;
        instances->get_Item(i, &instance);
        for (BSTR name : names) {
            VARIANT value;
            VariantInit(&value);
            instance->get_Field(name, &value);
            VariantClear(&value);
        }
    }
    for (BSTR name : names) SysFreeString(name);
    instances.Reset();
    properties.Reset();
    cls.Reset();
    server.Reset();
    access.Reset();
    p.walk = Ms(Clock::now() - mark);
    p.total = Ms(Clock::now() - start);
    return p;
}

// One km_docheck: its time, and whether it held.
bool PluginCheck(_WMICom* plugin, double* ms = nullptr) {
    const auto start = Clock::now();
    VARIANT_BOOL verdict = VARIANT_FALSE;
    Check(plugin->km_docheck(&verdict), "km_docheck");
    if (ms) *ms = Ms(Clock::now() - start);
    return verdict != VARIANT_FALSE;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Latency(const CLSID& pluginClsid, const CLSID& bridgeClsid, const Scenario& s, int checks) {
    ComPtr<_WMICom> plugin = MakePlugin(pluginClsid, ParameterString(s), L"30");
    if (!PluginCheck(plugin.Get())) std::printf("  (the check does not hold: %s)\n", s.name);
    Floor(s);
    InMultithreadedApartment([&] { return Bare(bridgeClsid, s); });
    std::vector<double> p, b, f;
    std::vector<Phases> bare, floor;
    for (int i = 0; i < checks; ++i) {
        double ms = 0;
        PluginCheck(plugin.Get(), &ms);
        p.push_back(ms);
        bare.push_back(InMultithreadedApartment([&] { return Bare(bridgeClsid, s); }));
        b.push_back(bare.back().total);
        floor.push_back(InMultithreadedApartment([&] { return Floor(s); }));
        f.push_back(floor.back().total);
    }
    auto phase = [](const std::vector<Phases>& runs, double Phases::*member) {
        std::vector<double> v;
        for (const Phases& r : runs) v.push_back(r.*member);
        return Median(v);
    };
    std::printf("%s, %d checks (medians):\n", s.name, checks);
    std::printf("  P km_docheck %7.2f ms   B bridge bare %7.2f ms   F floor %7.2f ms   P/F %.2f   P/B %.2f\n",
                Median(p), Median(b), Median(f), Median(p) / Median(f), Median(p) / Median(b));
    std::printf("  B: initialize %.2f, connect %.2f, class %.2f, query+properties %.2f, walk+release %.2f ms\n",
                phase(bare, &Phases::initialize), phase(bare, &Phases::connect), phase(bare, &Phases::getClass), phase(bare, &Phases::query),
                phase(bare, &Phases::walk));
    std::printf("  F: connect %.2f, class %.2f, query %.2f, reads+release %.2f ms\n", phase(floor, &Phases::connect),
                phase(floor, &Phases::getClass), phase(floor, &Phases::query), phase(floor, &Phases::walk));
}

// checks in all, spread over hosts threads, each a single-threaded
// apartment with a WMICom of its own. Usage is compared at rest, with every
// host thread waiting and the thread pool's idle workers gone: after the
// first 100 checks and after the last. A check that takes more than a minute
// ends the program with what was reached.
void Soak(const CLSID& pluginClsid, const std::wstring& parameters, int checks, int hosts) {
    std::atomic<long> done{0}, failed{0};
    std::atomic<int> warm{0}, finished{0};
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr), leave = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto host = [&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        {
            ComPtr<_WMICom> plugin = MakePlugin(pluginClsid, parameters, L"30");
            for (int i = 0; i < 100 / hosts; ++i) PluginCheck(plugin.Get());
            ++warm;
            WaitForSingleObject(go, INFINITE);
            for (int i = 100 / hosts; i < checks / hosts; ++i) {
                if (!PluginCheck(plugin.Get())) ++failed;
                ++done;
            }
            ++finished;
            WaitForSingleObject(leave, INFINITE);
        }
        CoUninitialize();
    };
    auto atRest = [](std::atomic<int>& count, int expected) {
        while (count < expected) Sleep(10);
        Sleep(6000);  // idle workers of the thread pool end after a few seconds
        return CurrentUsage();
    };
    std::vector<std::thread> threads;
    for (int h = 0; h < hosts; ++h) threads.emplace_back(host);
    const Usage before = atRest(warm, hosts);
    std::atomic<bool> running{true};
    std::thread watchdog([&] {
        long seen = -1;
        for (int tick = 0; running; ++tick) {
            Sleep(250);
            if (tick % 240 != 239) continue;
            if (done == seen) {
                std::printf("soak: stopped after %ld checks: none returned within a minute\n", done.load());
                std::fflush(stdout);
                ExitProcess(4);
            }
            seen = done;
        }
    });
    const auto start = Clock::now();
    SetEvent(go);
    while (finished < hosts) Sleep(10);
    const double seconds = Ms(Clock::now() - start) / 1000;
    running = false;
    watchdog.join();
    const Usage after = atRest(finished, hosts);
    SetEvent(leave);
    for (auto& t : threads) t.join();
    CloseHandle(go);
    CloseHandle(leave);
    std::printf("soak, %d host thread%s: %d checks in %.1f s, %ld failed; at rest after the first 100 -> after the "
                "last: threads %lu -> %lu, private memory %.0f KiB -> %.0f KiB (growth %+.0f KiB, target < 1024)\n",
                hosts, hosts > 1 ? "s" : "", checks, seconds, failed.load(), before.threads, after.threads,
                before.privateBytes / 1024.0, after.privateBytes / 1024.0,
                (static_cast<double>(after.privateBytes) - before.privateBytes) / 1024.0);
    std::fflush(stdout);
}

// The name of a running service, for a filter that selects one instance.
std::wstring RunningService() {
    ComPtr<IWbemLocator> locator;
    ComPtr<IWbemServices> services;
    ComPtr<IEnumWbemClassObject> results;
    BSTR path = SysAllocString(L"root\\cimv2"), wql = SysAllocString(L"WQL"),
         query = SysAllocString(L"SELECT * FROM Win32_Service WHERE State = 'Running'");
    std::wstring name;
    if (SUCCEEDED(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, &locator)) &&
        SUCCEEDED(locator->ConnectServer(path, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services)) &&
        SUCCEEDED(services->ExecQuery(wql, query, WBEM_FLAG_FORWARD_ONLY, nullptr, &results))) {
        ComPtr<IWbemClassObject> object;
        ULONG returned = 0;
        if (results->Next(WBEM_INFINITE, 1, &object, &returned) == S_OK) {
            VARIANT value;
            VariantInit(&value);
            object->Get(L"Name", 0, &value, nullptr, nullptr);
            if (V_VT(&value) == VT_BSTR) name = V_BSTR(&value);
            VariantClear(&value);
        }
    }
    SysFreeString(path);
    SysFreeString(wql);
    SysFreeString(query);
    return name;
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
        const std::wstring service = InMultithreadedApartment([] { return RunningService(); });
        const Scenario os = {"Win32_OperatingSystem.Caption CON Windows", L"Win32_OperatingSystem", L"", L"Caption",
                             L"CON", L"Windows"};
        const Scenario one = {"Win32_Service filtered to one service, State EXA Running", L"Win32_Service",
                              L"Name = '" + service + L"'", L"State", L"EXA", L"Running"};
        if (checks > 0) {
            Latency(pluginClsid, bridgeClsid, os, checks);
            Latency(pluginClsid, bridgeClsid, one, checks);
        }
        if (soak > 100) {
            Soak(pluginClsid, ParameterString(os), soak, 1);
            Soak(pluginClsid, ParameterString(os), soak, 2);
        }
    }
    CoUninitialize();
    return 0;
}
