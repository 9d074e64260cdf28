// A monitoring host that checks a computer which stopped answering, among
// healthy checks: 10,000 checks from one single-threaded apartment against
// the WMI test double, one in ten against a target whose connection never
// returns (namespace stall2000000000). Reports every healthy check's time
// against its time alone, the stalled checks' times, and threads and private
// memory at rest before the soak, after it, and after the stall clears.
// Usage: stuck_soak.exe [checks=10000] [rest-seconds=8]   (in build*/wineprefix-double)
#include <windows.h>
#include <oleauto.h>

#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ParameterString.h"
#include "PluginBench.h"
#include "WmiDouble.h"
#include "ostrel_h.h"

using Microsoft::WRL::ComPtr;
using Clock = std::chrono::steady_clock;

namespace {

using bench::Check;
using bench::MakePlugin;
using bench::CurrentUsage;
using bench::Text;
using bench::Usage;

ComPtr<_WMICom> MakeDoublePlugin(const CLSID& clsid, const wchar_t* nameSpace) {
    CheckParameters fields;
    fields.nameSpace = nameSpace;
    fields.classPath = L"Double_Service";
    fields.property = L"State";
    fields.operatorCode = L"EXA";
    fields.compareValue = L"Running";
    std::wstring parameters;
    Check(ComposeParameterString(fields, &parameters), "parameter string");
    return MakePlugin(clsid, parameters, L"5");
}

// One km_docheck: its time in ms; *held: its verdict.
double TimedCheck(_WMICom* plugin, bool* held) {
    const auto start = Clock::now();
    VARIANT_BOOL verdict = VARIANT_FALSE;
    Check(plugin->km_docheck(&verdict), "km_docheck");
    *held = verdict != VARIANT_FALSE;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct Spread {
    double median, p99, max;
};
Spread SpreadOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[v.size() * 99 / 100], v.back()};
}

// Idle workers of the thread pools end after a few seconds of rest. The
// double's call record is emptied (its buffer stays), so that it does not
// count as growth.
Usage AtRest(int seconds) {
    Sleep(seconds * 1000);
    WmiDoubleClearRecord();
    return CurrentUsage();
}

void Report(const char* when, const Usage& usage, const Usage& start) {
    std::printf("  %-28s threads %lu (%+ld), private memory %.0f KiB (%+.0f KiB)\n", when, usage.threads,
                static_cast<long>(usage.threads) - static_cast<long>(start.threads), usage.privateBytes / 1024.0,
                (static_cast<double>(usage.privateBytes) - start.privateBytes) / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    const int checks = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int rest = argc > 2 ? std::atoi(argv[2]) : 8;
    Check(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "CoInitializeEx");
    WmiDoubleReset();
    {
        CLSID clsid;
        Check(CLSIDFromProgID(L"ostrel.WMICom", &clsid), "ostrel.WMICom");
        ComPtr<_WMICom> healthy = MakeDoublePlugin(clsid, L"root\\cimv2");
        ComPtr<_WMICom> stalled = MakeDoublePlugin(clsid, L"root\\stall2000000000");
        bool held = false;
        std::vector<double> alone;
        for (int i = 0; i < 700; ++i) {
            alone.push_back(TimedCheck(healthy.Get(), &held));
            if (i % 100 == 0) WmiDoubleClearRecord();
        }
        alone.erase(alone.begin(), alone.begin() + 200);  // warm-up
        const Usage start = AtRest(rest);

        std::vector<double> mixed, refused;
        double firstStalled = 0;
        long failedHealthy = 0, heldStalled = 0;
        DWORD mostThreads = 0;
        const auto soakStart = Clock::now();
        for (int i = 0; i < checks; ++i) {
            if (i % 10 == 5) {
                const double ms = TimedCheck(stalled.Get(), &held);
                heldStalled += held;
                if (firstStalled == 0) firstStalled = ms;
                else refused.push_back(ms);
            } else {
                mixed.push_back(TimedCheck(healthy.Get(), &held));
                failedHealthy += !held;
            }
            if (i % 500 == 0) mostThreads = std::max(mostThreads, CurrentUsage().threads);
            if (i % 100 == 0) WmiDoubleClearRecord();
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - soakStart).count();
        const Usage after = AtRest(rest);
        WmiDoubleCancelStalls();
        VARIANT_BOOL verdict;
        stalled->km_docheck(&verdict);  // the target answers again (cancelled at once)
        const Usage cleared = AtRest(rest);
        // Alone again, once everything has settled: the first measure runs
        // while the process is young.
        std::vector<double> aloneAfter;
        for (int i = 0; i < 500; ++i) {
            aloneAfter.push_back(TimedCheck(healthy.Get(), &held));
            if (i % 100 == 0) WmiDoubleClearRecord();
        }

        const Spread a = SpreadOf(alone), a2 = SpreadOf(aloneAfter), m = SpreadOf(mixed), r = SpreadOf(refused);
        std::printf("stuck soak: %d checks in %.1f s from one single-threaded host, one in ten against a connection "
                    "that never returns\n", checks, seconds);
        std::printf("  healthy alone before (500):  median %.2f ms, p99 %.2f ms, max %.2f ms\n", a.median, a.p99,
                    a.max);
        std::printf("  healthy alone after (500):   median %.2f ms, p99 %.2f ms, max %.2f ms\n", a2.median, a2.p99,
                    a2.max);
        std::printf("  healthy in the soak (%zu):  median %.2f ms, p99 %.2f ms, max %.2f ms; median x%.2f / x%.2f "
                    "alone before / after (target <= 2); %ld failed\n", mixed.size(), m.median, m.p99, m.max,
                    m.median / a.median, m.median / a2.median, failedHealthy);
        std::printf("  stalled: the first %.0f ms (its time-out), then %zu refused: median %.2f ms, max %.2f ms; "
                    "%ld held\n", firstStalled, refused.size(), r.median, r.max, heldStalled);
        std::printf("  most threads seen during the soak: %lu\n", mostThreads);
        Report("at rest before the soak:", start, start);
        Report("at rest after the soak:", after, start);
        Report("after the stall cleared:", cleared, start);
    }
    CoUninitialize();
    return 0;
}
