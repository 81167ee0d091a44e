// Runtime-service figures, as a plain program:
//   1. CPU time of a process that has started the event dispatcher and the
//      task queue and then idles (target: under 1 % of one core);
//   2. the intervals between the starts of a task that expires on every
//      tick, over 100 ticks (target: 38 ms +- 1 ms);
//   3. the latency from SYS_EVT_Signal to the handler running.
// Usage: rt_measure [idle seconds, default 2]
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "rt/sys_evt.h"
#include "rt/tq.h"

namespace {

double NowMs(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[i];
}

void Summary(const char* what, const std::vector<double>& v, const char* unit) {
    printf("%s: n=%zu median=%.3f p5=%.3f p95=%.3f min=%.3f max=%.3f %s\n", what, v.size(),
           Percentile(v, 0.5), Percentile(v, 0.05), Percentile(v, 0.95),
           *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()), unit);
}

constexpr int kTicks = 100;
std::atomic<int> g_starts{0};
double g_startMs[kTicks + 1];

void* EveryTick(void* arg) {
    const int n = g_starts.load();
    if (n <= kTicks) g_startMs[n] = NowMs(CLOCK_MONOTONIC);
    g_starts.store(n + 1);
    TQ_ThreadDone(*static_cast<int*>(arg));
    return nullptr;
}

std::atomic<double> g_handledMs{0.0};
std::atomic<int> g_handled{0};

void Handler() {
    g_handledMs.store(NowMs(CLOCK_MONOTONIC));
    g_handled.fetch_add(1);
}

void SleepMs(int ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int idleSeconds = argc > 1 ? atoi(argv[1]) : 2;
    SYS_EVT_Init();
    TQ_Init();
    SleepMs(100);  // let the threads start and announce themselves

    // 1. Idle: a waiting task keeps the tick's walk non-empty.
    TQ_Add(1000000, nullptr, 1);
    const double cpu0 = NowMs(CLOCK_PROCESS_CPUTIME_ID);
    const double wall0 = NowMs(CLOCK_MONOTONIC);
    SleepMs(idleSeconds * 1000);
    const double cpu = NowMs(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    const double wall = NowMs(CLOCK_MONOTONIC) - wall0;
    printf("idle: %.1f ms CPU in %.1f ms wall = %.3f %% of one core\n", cpu, wall,
           100.0 * cpu / wall);

    // 2. Tick periods, seen as the start times of a task due on every tick.
    const int h = TQ_Add(0, EveryTick, 1);
    while (g_starts.load() <= kTicks) SleepMs(10);
    TQ_Remove(static_cast<unsigned>(h));
    std::vector<double> periods;
    for (int i = 1; i <= kTicks; ++i) periods.push_back(g_startMs[i] - g_startMs[i - 1]);
    Summary("tick period", periods, "ms");

    // 3. Signal to handler.
    const int slot = SYS_EVT_Register(4242, Handler);
    std::vector<double> latencies;
    for (int i = 0; i < 1000; ++i) {
        const int before = g_handled.load();
        const double t0 = NowMs(CLOCK_MONOTONIC);
        SYS_EVT_Signal(4242);
        while (g_handled.load() == before) sched_yield();
        latencies.push_back((g_handledMs.load() - t0) * 1000.0);
        if (i % 10 == 9) SleepMs(1);  // let the dispatcher go back to sleep now and then
    }
    SYS_EVT_Unregister(static_cast<unsigned>(slot));
    Summary("signal to handler", latencies, "us");
    return 0;
}
