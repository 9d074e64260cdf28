// A monitoring host checking a fleet: host threads, each its own
// single-threaded apartment, calling km_docheck on objects of their own for
// computers of the WMI test double. Of the computers, 90% answer in 0-50 ms,
// 9% in 1-3 s and 1% never (the double's namespace stall<ms> delays the
// connection). Reports the healthy checks that failed, their times against
// their time alone (the computer's delay plus a check alone against a
// computer that answers at once), threads at their peak and at rest, memory
// growth at rest, and checks per second with 1, 8 and 32 host threads
// against computers that answer at once.
//
// --down runs a fleet of its own instead: 200 computers, 20 of which never
// answer, each of those checked by 4 host threads at once (every one of
// those calls is abandoned at its time-out), then checks of the whole fleet
// while they hang. Reports the healthy checks refused or failed (aim: 0),
// threads, private memory and address space at the peak and at rest, and
// the address space each held thread costs.
//
// --throughput runs only the last part, against whatever WMI the prefix has
// (Win32_OperatingSystem): under Wine, in build*/wineprefix, Wine's own WMI,
// whose calls the bridge serialises.
//
// The double's stalls are cancelled at the end, so that the abandoned calls
// return and the process's rest can be measured without them.
//
// Usage (make bench):
//   fleet_soak.exe [checks=20000] [threads=32] [rest-seconds=8]   (in build*/wineprefix-double)
//   fleet_soak.exe --down [checks=4000] [threads=32] [rest-seconds=8]   (in build*/wineprefix-double)
//   fleet_soak.exe --throughput [checks=400] [rest-seconds=8]     (in build*/wineprefix)
#include <windows.h>
#include <oleauto.h>

#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
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
using bench::CurrentUsage;
using bench::Usage;

constexpr DWORD kNever = 2000000000;  // a stall no check outlives

// One computer of the fleet: its name and how long its connection takes.
struct Computer {
    std::wstring name;
    DWORD delayMs;
    bool healthy() const { return delayMs != kNever; }
};

std::vector<Computer> MakeFleet(int count) {
    std::vector<Computer> fleet;
    unsigned seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 8) % 10000; };
    for (int i = 0; i < count; ++i) {
        wchar_t name[16];
        swprintf(name, 16, L"FLEET%03d", i);
        const int kind = i % 100;  // 90 answer fast, 9 slowly, 1 never
        const DWORD delay = kind < 90 ? next() % 51 : kind < 99 ? 1000 + next() % 2001 : kNever;
        fleet.push_back({name, delay});
    }
    return fleet;
}

std::wstring ParameterString(const std::wstring& nameSpace, const wchar_t* classPath, const wchar_t* property) {
    CheckParameters fields;
    fields.nameSpace = nameSpace;
    fields.classPath = classPath;
    fields.property = property;
    fields.operatorCode = L"CON";
    std::wstring text;
    Check(ComposeParameterString(fields, &text), "parameter string");
    return text;
}

// What one check found.
struct Outcome {
    int computer = -1;
    double ms = 0;
    bool verdict = false;
    bool claimedStuck = false;  // the text says something has not returned
};

// A host thread's own plug-in object, its members put before each check as
// the host does.
class HostObject {
public:
    explicit HostObject(const CLSID& clsid) {
        Check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__WMICom, &plugin_), "plugin");
    }
    Outcome Run(const std::wstring& host, const std::wstring& parameters, const wchar_t* timeoutSeconds) {
        bench::PutMembers(plugin_.Get(), host, parameters, timeoutSeconds);
        Outcome outcome;
        const auto start = Clock::now();
        VARIANT_BOOL verdict = VARIANT_FALSE;
        Check(plugin_->km_docheck(&verdict), "km_docheck");
        outcome.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        outcome.verdict = verdict != VARIANT_FALSE;
        VARIANT result;
        VariantInit(&result);
        plugin_->get_km_result(&result);
        outcome.claimedStuck = V_VT(&result) == VT_BSTR && V_BSTR(&result) && wcsstr(V_BSTR(&result), L"not returned");
        VariantClear(&result);
        return outcome;
    }

private:
    ComPtr<_WMICom> plugin_;
};

// Runs checks spread over threads host threads, each in its own
// single-threaded apartment; check(object, index) makes check number index.
template <class MakeCheck>
std::vector<Outcome> RunHosts(const CLSID& clsid, int checks, int threads, MakeCheck makeCheck,
                              std::atomic<DWORD>* peakThreads = nullptr) {
    std::vector<Outcome> outcomes(checks);
    std::atomic<int> nextCheck{0};
    std::atomic<bool> done{false};
    std::thread watcher;
    if (peakThreads)
        watcher = std::thread([&] {
            while (!done) {
                const DWORD now = CurrentUsage().threads;
                if (now > *peakThreads) *peakThreads = now;
                Sleep(100);
            }
        });
    std::vector<std::thread> hosts;
    for (int t = 0; t < threads; ++t)
        hosts.emplace_back([&] {
            Check(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "CoInitializeEx");
            {
                HostObject object(clsid);
                for (int i; (i = nextCheck++) < checks;) outcomes[i] = makeCheck(object, i);
            }
            CoUninitialize();
        });
    for (std::thread& host : hosts) host.join();
    done = true;
    if (watcher.joinable()) watcher.join();
    return outcomes;
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()))];
}

// Idle workers of the thread pools end after a few seconds of rest. The
// double's record is emptied (its buffer stays), so that it does not count
// as growth.
Usage AtRest(int seconds) {
    Sleep(seconds * 1000);
    WmiDoubleClearRecord();
    return CurrentUsage();
}

// Checks per second with 1, 8 and 32 host threads, each check against
// host with the parameter string parameters.
void Throughput(const CLSID& clsid, int checks, const std::wstring& host, const std::wstring& parameters,
                const char* what, int restSeconds) {
    double single = 0;
    for (int threads : {1, 8, 32}) {
        const auto start = Clock::now();
        std::vector<Outcome> outcomes = RunHosts(clsid, checks, threads, [&](HostObject& object, int) {
            return object.Run(host, parameters, L"30");
        });
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        const long failed = std::count_if(outcomes.begin(), outcomes.end(), [](const Outcome& o) { return !o.verdict; });
        std::vector<double> times;
        for (const Outcome& o : outcomes) times.push_back(o.ms);
        const double rate = checks / seconds;
        if (threads == 1) single = Percentile(times, 0.5);
        std::printf("  %s, %2d host threads: %7.1f checks/s (median %.2f ms a check, %ld failed)", what, threads, rate,
                    Percentile(times, 0.5), failed);
        // At most one check's WMI work runs at a time where the bridge
        // serialises WMI: 1 / rate is then at least the WMI part of a check.
        if (threads > 1 && single > 0) std::printf("; 1/rate = %.0f%% of a check alone", 100.0 / rate / single * 1000);
        std::printf("; threads at rest after: %lu\n", AtRest(restSeconds).threads);
    }
}

// Samples the process's usage every 100 ms until stopped, keeping each
// figure's peak.
class PeakWatch {
public:
    PeakWatch() : thread_([this] {
        while (!done_) {
            const Usage now = CurrentUsage();
            peak_.threads = std::max(peak_.threads, now.threads);
            peak_.privateBytes = std::max(peak_.privateBytes, now.privateBytes);
            peak_.addressBytes = std::max(peak_.addressBytes, now.addressBytes);
            Sleep(100);
        }
    }) {}
    Usage Stop() {
        done_ = true;
        thread_.join();
        return peak_;
    }

private:
    std::atomic<bool> done_{false};
    Usage peak_;
    std::thread thread_;
};

double MiB(unsigned long long bytes) { return bytes / (1024.0 * 1024.0); }
double MiBGrowth(unsigned long long now, unsigned long long before) {
    return (static_cast<double>(now) - static_cast<double>(before)) / (1024.0 * 1024.0);
}

// The fleet with computers that are down: see the top of the file.
void DownFleet(const CLSID& clsid, int checks, int threads, int rest) {
    constexpr int kComputers = 200, kEveryDown = 10, kThreadsPerDown = 4;
    const wchar_t* const kDownTimeout = L"2";
    auto isDown = [](int computer) { return computer % kEveryDown == 0; };
    std::vector<std::wstring> names, parameters;
    unsigned seed = 6789;
    for (int i = 0; i < kComputers; ++i) {
        wchar_t name[16];
        swprintf(name, 16, L"DOWN%03d", i);
        names.push_back(name);
        seed = seed * 1103515245u + 12345u;
        const DWORD delay = isDown(i) ? kNever : (seed >> 8) % 51;
        parameters.push_back(ParameterString(L"root\\stall" + std::to_wstring(delay), L"Double_Service", L"Name"));
    }
    // Warm: every DLL loaded, one check of a healthy computer.
    RunHosts(clsid, 20, 1, [&](HostObject& object, int) { return object.Run(names[1], parameters[1], L"5"); });
    const Usage start = AtRest(rest);

    PeakWatch watch;
    // Every down computer checked by 4 host threads at once.
    const int downChecks = kComputers / kEveryDown * kThreadsPerDown;
    const auto downStart = Clock::now();
    std::vector<Outcome> down = RunHosts(clsid, downChecks, downChecks, [&](HostObject& object, int index) {
        const int computer = index / kThreadsPerDown * kEveryDown;
        Outcome outcome = object.Run(names[computer], parameters[computer], kDownTimeout);
        outcome.computer = computer;
        return outcome;
    });
    const double downSeconds = std::chrono::duration<double>(Clock::now() - downStart).count();
    const Usage held = CurrentUsage();
    // The whole fleet, while the down computers still hang.
    const auto fleetStart = Clock::now();
    std::vector<Outcome> fleet = RunHosts(clsid, checks, threads, [&](HostObject& object, int index) {
        const int computer = static_cast<int>((static_cast<unsigned>(index) * 2654435761u) % kComputers);
        if (index % 50 == 0) WmiDoubleClearRecord();
        Outcome outcome = object.Run(names[computer], parameters[computer], kDownTimeout);
        outcome.computer = computer;
        return outcome;
    });
    const double fleetSeconds = std::chrono::duration<double>(Clock::now() - fleetStart).count();
    const Usage peak = watch.Stop();
    const Usage after = AtRest(rest);
    WmiDoubleCancelStalls();
    const Usage cleared = AtRest(rest);
    WmiDoubleReset();

    const long downPassed = std::count_if(down.begin(), down.end(), [](const Outcome& o) { return o.verdict; });
    long healthy = 0, refused = 0, failed = 0, downLater = 0, downLaterRefused = 0;
    std::vector<double> healthyTimes, downTimes;
    for (const Outcome& o : fleet) {
        if (isDown(o.computer)) {
            ++downLater;
            downLaterRefused += o.claimedStuck;
            downTimes.push_back(o.ms);
            continue;
        }
        ++healthy;
        refused += o.claimedStuck;
        failed += !o.verdict;
        healthyTimes.push_back(o.ms);
    }
    std::printf("fleet soak, computers down: %d computers, %d never answer, each checked by %d host threads at once "
                "(km_timeout %ls), then %d checks of the whole fleet on %d host threads while they hang\n",
                kComputers, kComputers / kEveryDown, kThreadsPerDown, kDownTimeout, checks, threads);
    std::printf("  down computers, first checks: %d in %.1f s, %ld passed (aim: 0)\n", downChecks, downSeconds,
                downPassed);
    std::printf("  healthy checks while they hang: %ld in %.1f s, refused %ld, failed %ld (aim: 0, 0); median "
                "%.1f ms, p99 %.1f ms\n", healthy, fleetSeconds, refused, failed, Percentile(healthyTimes, 0.5),
                Percentile(healthyTimes, 0.99));
    std::printf("  later checks of down computers: %ld, refused at once %ld, median %.1f ms, max %.1f ms\n", downLater,
                downLaterRefused, Percentile(downTimes, 0.5), Percentile(downTimes, 1.0));
    std::printf("  threads: %lu at rest before, %lu at the peak, %lu just after the down computers' first checks, %lu "
                "at rest after (the start plus the hanging calls), %lu once they answer again\n", start.threads,
                peak.threads, held.threads, after.threads, cleared.threads);
    std::printf("  private memory: %.1f MiB at rest before, %+.1f MiB at the peak, %+.1f MiB at rest after, %+.1f MiB "
                "once they answer again\n", MiB(start.privateBytes), MiBGrowth(peak.privateBytes, start.privateBytes),
                MiBGrowth(after.privateBytes, start.privateBytes), MiBGrowth(cleared.privateBytes, start.privateBytes));
    // At rest every thread beyond the start is a pool worker (held or idle).
    const long restThreads = static_cast<long>(after.threads) - static_cast<long>(start.threads);
    std::printf("  address space in use: %.1f MiB at rest before, %+.1f MiB at the peak, %+.1f MiB at rest after "
                "(%.2f MiB a pool worker), %+.1f MiB once they answer again\n", MiB(start.addressBytes),
                MiBGrowth(peak.addressBytes, start.addressBytes), MiBGrowth(after.addressBytes, start.addressBytes),
                restThreads > 0 ? MiBGrowth(after.addressBytes, start.addressBytes) / restThreads : 0.0,
                MiBGrowth(cleared.addressBytes, start.addressBytes));
}

}  // namespace

int main(int argc, char** argv) {
    const bool throughputOnly = argc > 1 && std::strcmp(argv[1], "--throughput") == 0;
    const int first = throughputOnly ? 2 : 1;
    auto number = [&](int index, int otherwise) { return argc > first + index ? std::atoi(argv[first + index]) : otherwise; };
    Check(CoInitializeEx(nullptr, COINIT_MULTITHREADED), "CoInitializeEx");
    CLSID clsid;
    Check(CLSIDFromProgID(L"ostrel.WMICom", &clsid), "ostrel.WMICom");

    if (argc > 1 && std::strcmp(argv[1], "--down") == 0) {
        auto arg = [&](int index, int otherwise) { return argc > 2 + index ? std::atoi(argv[2 + index]) : otherwise; };
        DownFleet(clsid, arg(0, 4000), arg(1, 32), arg(2, 8));
        CoUninitialize();
        return 0;
    }
    if (throughputOnly) {
        const int checks = number(0, 400);
        std::printf("fleet soak, throughput against this prefix's WMI (Win32_OperatingSystem.Caption):\n");
        Throughput(clsid, checks, L".", ParameterString(L"root\\cimv2", L"Win32_OperatingSystem", L"Caption"),
                   "local WMI", number(1, 8));
        CoUninitialize();
        return 0;
    }

    const int checks = number(0, 20000), threads = number(1, 32), rest = number(2, 8);
    const std::vector<Computer> fleet = MakeFleet(200);

    // A check alone against a computer that answers at once, after a warm-up.
    const std::wstring atOnce = ParameterString(L"root\\stall0", L"Double_Service", L"Name");
    std::vector<Outcome> aloneRuns = RunHosts(clsid, 150, 1, [&](HostObject& object, int) {
        return object.Run(L"ALONE", atOnce, L"5");
    });
    std::vector<double> aloneTimes;
    for (size_t i = 50; i < aloneRuns.size(); ++i) aloneTimes.push_back(aloneRuns[i].ms);
    const double alone = Percentile(aloneTimes, 0.5);
    const Usage start = AtRest(rest);

    std::vector<std::wstring> parameters;
    for (const Computer& computer : fleet)
        parameters.push_back(ParameterString(L"root\\stall" + std::to_wstring(computer.delayMs), L"Double_Service",
                                             L"Name"));
    std::atomic<DWORD> peak{0};
    const auto soakStart = Clock::now();
    std::vector<Outcome> outcomes = RunHosts(clsid, checks, threads, [&](HostObject& object, int index) {
        const int computer = static_cast<int>((static_cast<unsigned>(index) * 2654435761u) % fleet.size());
        // The double's record of calls would grow to its cap: not ours to count.
        if (index % 50 == 0) WmiDoubleClearRecord();
        Outcome outcome = object.Run(fleet[computer].name, parameters[computer], L"5");
        outcome.computer = computer;
        return outcome;
    }, &peak);
    const double seconds = std::chrono::duration<double>(Clock::now() - soakStart).count();
    const Usage after = AtRest(rest);
    // The never-answering computers answer again: their abandoned calls
    // return and their threads go back.
    WmiDoubleCancelStalls();
    const Usage cleared = AtRest(rest);
    WmiDoubleReset();  // later connections stall (and connect) again

    long failed = 0, claimedStuck = 0, never = 0;
    std::vector<double> fastRatio, slowRatio, allRatio, neverTimes;
    for (const Outcome& o : outcomes) {
        const Computer& computer = fleet[o.computer];
        if (!computer.healthy()) {
            ++never;
            neverTimes.push_back(o.ms);
            continue;
        }
        failed += !o.verdict;
        claimedStuck += o.claimedStuck;
        const double ratio = o.ms / (computer.delayMs + alone);
        (computer.delayMs < 1000 ? fastRatio : slowRatio).push_back(ratio);
        allRatio.push_back(ratio);
    }
    std::printf("fleet soak: %d checks in %.1f s, %d host threads, 200 computers (90%% answer in 0-50 ms, 9%% in "
                "1-3 s, 1%% never), km_timeout 5\n", checks, seconds, threads);
    std::printf("  a check alone (a computer that answers at once): median %.2f ms\n", alone);
    std::printf("  healthy checks: %zu, failed %ld, said something had not returned %ld (aim: 0)\n", allRatio.size(),
                failed, claimedStuck);
    std::printf("  time against alone (the computer's delay + a check alone): median x%.2f, p99 x%.2f (aim: <= 2); "
                "0-50 ms computers x%.2f / x%.2f, 1-3 s computers x%.2f / x%.2f\n",
                Percentile(allRatio, 0.5), Percentile(allRatio, 0.99), Percentile(fastRatio, 0.5),
                Percentile(fastRatio, 0.99), Percentile(slowRatio, 0.5), Percentile(slowRatio, 0.99));
    std::printf("  never-answering computers: %ld checks, median %.1f ms, max %.1f ms (the first of each waits its "
                "time-out, the rest are refused at once)\n", never, Percentile(neverTimes, 0.5),
                Percentile(neverTimes, 1.0));
    std::printf("  threads: %lu at rest before, %lu at the peak, %lu at rest after (the start plus the calls "
                "abandoned to the never-answering computers), %lu once they answer again\n", start.threads,
                peak.load(), after.threads, cleared.threads);
    std::printf("  private memory at rest: %.0f KiB before, %+.0f KiB after, %+.0f KiB once they answer again\n",
                start.privateBytes / 1024.0, (static_cast<double>(after.privateBytes) - start.privateBytes) / 1024.0,
                (static_cast<double>(cleared.privateBytes) - start.privateBytes) / 1024.0);
    std::printf("checks per second, computers that answer at once (the double):\n");
    Throughput(clsid, std::max(checks / 20, 64), L"RATE", atOnce, "the double", rest);
    CoUninitialize();
    return 0;
}
