// Task queue: countdowns in ticks, the ring of handles, one run per task
// function at a time, one-shot / periodic / null-function tasks, re-arming
// changes, removal counters, delays, threads waiting for a slot, stale
// handles, an idle queue's CPU use, and concurrent use.
#include "rt/tq.h"

#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "rt/sys_evt.h"

namespace {

using Clock = std::chrono::steady_clock;

bool WaitFor(const std::function<bool()>& done, int ms = 3000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

TQ_Stats Stats() {
    TQ_Stats s{};
    TQ_GetStats(&s);
    return s;
}

bool StatsAre(int32_t free, int32_t waiting, int32_t ready, int32_t running) {
    const TQ_Stats s = Stats();
    return s.free == free && s.waiting == waiting && s.ready == ready && s.running == running;
}

void WaitTicks(uint32_t n) {
    const uint32_t target = TQ_TickCount() + n;
    ASSERT_TRUE(WaitFor([&] { return TQ_TickCount() >= target; }));
}

// Returns right after a tick, so that the caller has most of a tick period
// before the next one.
uint32_t JustAfterTick() {
    const uint32_t start = TQ_TickCount();
    EXPECT_TRUE(WaitFor([&] { return TQ_TickCount() != start; }));
    return TQ_TickCount();
}

// Timing checks that want an exact tick: a busy machine can make a task run
// late but never early, so the figure is taken again, up to six times,
// until one attempt is undisturbed. A fault in the rule itself shows in
// every attempt; the never-early bounds are checked in every attempt.
bool ExactInSomeAttempt(const std::function<bool(int attempt, std::string* why)>& attempt,
                        std::string* why) {
    for (int a = 0; a < 6; ++a) {
        why->clear();
        if (attempt(a, why)) return true;
    }
    return false;
}

// Counting task functions, one per index; each remembers the tick counts of
// its first runs.
constexpr int kFns = 256;
constexpr int kTicksKept = 8;
std::atomic<int> g_runs[kFns];
std::atomic<uint32_t> g_runTick[kFns][kTicksKept];

template <int N>
void* Count(void* arg) {
    const int run = g_runs[N].fetch_add(1);
    if (run < kTicksKept) g_runTick[N][run].store(TQ_TickCount());
    TQ_ThreadDone(*static_cast<int*>(arg));
    return nullptr;
}

template <size_t... I>
constexpr std::array<TQ_TaskFn, sizeof...(I)> CountTable(std::index_sequence<I...>) {
    return {{Count<static_cast<int>(I)>...}};
}
const std::array<TQ_TaskFn, kFns> kCount = CountTable(std::make_index_sequence<kFns>());

int Runs(int n) {
    return g_runs[n].load();
}

// A task function that holds its thread until the test opens the gate.
std::mutex g_gateMutex;
std::condition_variable g_gateCv;
bool g_gateOpen = false;
std::atomic<int> g_blocked{0};

template <int N>
void* Blocker(void* arg) {
    g_blocked.fetch_add(1);
    {
        std::unique_lock<std::mutex> lock(g_gateMutex);
        g_gateCv.wait(lock, [] { return g_gateOpen; });
    }
    TQ_ThreadDone(*static_cast<int*>(arg));
    return nullptr;
}

template <size_t... I>
constexpr std::array<TQ_TaskFn, sizeof...(I)> BlockerTable(std::index_sequence<I...>) {
    return {{Blocker<static_cast<int>(I)>...}};
}
const std::array<TQ_TaskFn, TQ_SIZE> kBlocker = BlockerTable(std::make_index_sequence<TQ_SIZE>());

void OpenGate() {
    std::lock_guard<std::mutex> lock(g_gateMutex);
    g_gateOpen = true;
    g_gateCv.notify_all();
}

class Tq : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_EQ(0, SYS_EVT_Init());
        ASSERT_EQ(0, TQ_Init());
    }
};

TEST_F(Tq, PeriodsCountDownInWholeFiftyMillisecondTicks) {
    struct Case {
        int periodMs;
        uint32_t ticks;
    };
    const Case cases[] = {{-100, 1}, {0, 1},   {49, 1},  {99, 1}, {100, 2},
                          {149, 2},  {150, 3}, {260, 5}, {399, 7}};
    const int n = static_cast<int>(sizeof(cases) / sizeof(cases[0]));

    std::string why;
    EXPECT_TRUE(ExactInSomeAttempt(
        [&](int a, std::string* why) {
            const int fn = a * 32;
            const uint32_t start = JustAfterTick();
            for (int i = 0; i < n; ++i) EXPECT_GE(TQ_Add(cases[i].periodMs, kCount[fn + i], 0), 0);
            bool exact = TQ_TickCount() == start;  // all added within one tick period
            EXPECT_TRUE(WaitFor([&] {
                for (int i = 0; i < n; ++i)
                    if (Runs(fn + i) == 0) return false;
                return true;
            }));
            for (int i = 0; i < n; ++i) {
                const uint32_t ran = g_runTick[fn + i][0].load() - start;
                if (exact) {
                    EXPECT_GE(ran, cases[i].ticks) << "ran early: " << cases[i].periodMs;
                }
                if (ran != cases[i].ticks) {
                    exact = false;
                    *why += " period " + std::to_string(cases[i].periodMs) + " ms after " +
                            std::to_string(ran) + " ticks;";
                }
            }
            EXPECT_TRUE(WaitFor([] { return StatsAre(TQ_SIZE, 0, 0, 0); }));
            return exact;
        },
        &why))
        << why;
}

TEST_F(Tq, TickKeepsItsOwnPeriodOf38Milliseconds) {
    std::string why;
    EXPECT_TRUE(ExactInSomeAttempt(
        [](int, std::string* why) {
            JustAfterTick();
            const auto t0 = Clock::now();
            WaitTicks(10);
            const double ms = MsSince(t0);
            EXPECT_GE(ms, 10 * 38 - 5);
            *why = "10 ticks took " + std::to_string(ms) + " ms";
            return ms <= 10 * 38 + 60;
        },
        &why))
        << why;
}

TEST_F(Tq, DelayWaitsItsTicksAndReleasesItsRecord) {
    struct Case {
        int ms;
        uint32_t ticks;
    };
    for (const Case c : {Case{0, 1}, Case{-20, 1}, Case{1000, 20}}) {
        std::string why;
        EXPECT_TRUE(ExactInSomeAttempt(
            [&](int, std::string* why) {
                const uint32_t start = JustAfterTick();
                const auto t0 = Clock::now();
                EXPECT_EQ(0, TQ_Delay(c.ms));
                const double ms = MsSince(t0);
                const uint32_t ticks = TQ_TickCount() - start;
                EXPECT_GE(ticks, c.ticks) << c.ms << " ms";
                EXPECT_GE(ms, (c.ticks - 1) * 38.0) << c.ms << " ms";
                EXPECT_EQ(TQ_SIZE, Stats().free) << "record released";
                *why = std::to_string(c.ms) + " ms: " + std::to_string(ticks) + " ticks, " +
                       std::to_string(ms) + " ms";
                return ticks == c.ticks && ms <= c.ticks * 38.0 + 60;
            },
            &why))
            << why;
    }
}

TEST_F(Tq, DelayWithAFullTableReturnsAtOnce) {
    for (int i = 0; i < TQ_SIZE; ++i) ASSERT_GE(TQ_Add(100000, nullptr, 1), 0);
    const auto t0 = Clock::now();
    EXPECT_EQ(0, TQ_Delay(1000));
    EXPECT_LT(MsSince(t0), 30.0);
}

TEST_F(Tq, OneShotPeriodicAndNullFunctionTasks) {
    ASSERT_EQ(0, TQ_Add(0, kCount[0], 0));   // one-shot
    ASSERT_EQ(1, TQ_Add(0, kCount[1], 2));   // any flag but 1: one-shot
    ASSERT_EQ(2, TQ_Add(0, kCount[2], -1));  // one-shot
    ASSERT_EQ(3, TQ_Add(0, kCount[3], 1));   // periodic, every tick
    ASSERT_EQ(4, TQ_Add(50, nullptr, 0));    // null one-shot
    ASSERT_EQ(5, TQ_Add(50, nullptr, 1));    // null periodic
    ASSERT_TRUE(WaitFor([] { return Runs(3) >= 4; }));
    EXPECT_EQ(1, Runs(0));
    EXPECT_EQ(1, Runs(1));
    EXPECT_EQ(1, Runs(2));
    for (int r = 1; r < 4; ++r) {
        EXPECT_GE(g_runTick[3][r].load(), g_runTick[3][r - 1].load() + 1) << "run " << r;
    }
    // Left: the two periodic tasks. The null ones never took a thread.
    const TQ_Stats s = Stats();
    EXPECT_EQ(TQ_SIZE - 2, s.free);
    EXPECT_LE(s.waiting + s.ready, 2);
    EXPECT_LE(s.running, 1);
}

// A task function that takes about five ticks and notes how many of its
// runs overlap.
std::atomic<int> g_active{0};
std::atomic<int> g_maxActive{0};
std::atomic<int> g_slowRuns{0};
constexpr int kSlowMs = 250;

void* Slow(void* arg) {
    const int now = g_active.fetch_add(1) + 1;
    int seen = g_maxActive.load();
    while (now > seen && !g_maxActive.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kSlowMs));
    g_slowRuns.fetch_add(1);
    g_active.fetch_sub(1);
    TQ_ThreadDone(*static_cast<int*>(arg));
    return nullptr;
}

TEST_F(Tq, FunctionRunsInOneThreadAtATime) {
    // Expires every tick but runs for five: the expiries that fall inside a
    // run are consumed, and a one-shot with the same function that expires
    // during a run is released without waiting for it.
    const auto t0 = Clock::now();
    const int periodic = TQ_Add(0, Slow, 1);
    ASSERT_GE(periodic, 0);
    ASSERT_TRUE(WaitFor([] { return g_active.load() == 1; }));
    ASSERT_GE(TQ_Add(0, Slow, 0), 0);
    ASSERT_TRUE(WaitFor([] { return Stats().free == TQ_SIZE - 1; }));
    EXPECT_EQ(0, g_slowRuns.load()) << "the one-shot was released during the first run";
    ASSERT_TRUE(WaitFor([] { return g_slowRuns.load() >= 3; }));
    ASSERT_EQ(0, TQ_Remove(static_cast<unsigned>(periodic)));
    const double ms = MsSince(t0);
    EXPECT_EQ(1, g_maxActive.load());
    EXPECT_LE(g_slowRuns.load(), static_cast<int>(ms / kSlowMs) + 1);
    EXPECT_TRUE(WaitFor([] { return StatsAre(TQ_SIZE, 0, 0, 0); }));
}

TEST_F(Tq, SetPeriodTakesEffectAtTheNextRearm) {
    std::string why;
    EXPECT_TRUE(ExactInSomeAttempt(
        [](int a, std::string* why) {
            const int fn = a * 32;
            const uint32_t start = JustAfterTick();
            const int h = TQ_Add(200, kCount[fn], 1);  // 4 ticks
            EXPECT_GE(h, 0);
            EXPECT_EQ(0, TQ_SetPeriod(h, 100));  // 2 ticks, from the next re-arm on
            bool exact = TQ_TickCount() == start;
            EXPECT_TRUE(WaitFor([&] { return Runs(fn) >= 3; }));
            // A reload of zero or less behaves as one tick.
            EXPECT_EQ(0, TQ_SetPeriod(h, -500));
            EXPECT_TRUE(WaitFor([&] { return Runs(fn) >= 7; }));
            EXPECT_EQ(0, TQ_Remove(static_cast<unsigned>(h)));
            if (exact) {
                EXPECT_GE(g_runTick[fn][0].load(), start + 4) << "countdown cut short";
            }
            const uint32_t want[] = {4, 6, 8};
            for (int r = 0; r < 3; ++r) {
                if (g_runTick[fn][r].load() != start + want[r]) exact = false;
            }
            for (int r = 4; r < 7; ++r) {
                if (g_runTick[fn][r].load() != g_runTick[fn][r - 1].load() + 1) exact = false;
            }
            for (int r = 0; r < 7; ++r) {
                *why += " " + std::to_string(g_runTick[fn][r].load() - start);
            }
            EXPECT_TRUE(WaitFor([] { return StatsAre(TQ_SIZE, 0, 0, 0); }));
            return exact;
        },
        &why))
        << "run ticks:" << why;
}

TEST_F(Tq, SetOneShotAllowsExactlyOneMoreRun) {
    const int h = TQ_Add(400, kCount[0], 1);  // 8 ticks
    ASSERT_GE(h, 0);
    // Change it while it waits for its next expiry, re-armed after a run.
    ASSERT_TRUE(WaitFor([] { return Runs(0) >= 1 && Stats().waiting == 1; }));
    const int runs = Runs(0);
    ASSERT_EQ(0, TQ_SetOneShot(static_cast<unsigned>(h)));
    EXPECT_TRUE(WaitFor([] { return StatsAre(TQ_SIZE, 0, 0, 0); }));
    WaitTicks(10);
    EXPECT_EQ(runs + 1, Runs(0));
}

TEST_F(Tq, StaleHandlesLeaveOtherTasksAlone) {
    // A released one-shot's entry still names its record; the record then
    // goes to a new task under another handle.
    const int old = TQ_Add(0, kCount[0], 0);
    ASSERT_GE(old, 0);
    ASSERT_TRUE(WaitFor([] { return StatsAre(TQ_SIZE, 0, 0, 0) && Runs(0) == 1; }));
    const int fresh = TQ_Add(0, kCount[1], 1);
    ASSERT_GE(fresh, 0);
    ASSERT_NE(old, fresh);

    EXPECT_EQ(0, TQ_SetPeriod(old, 100000));
    EXPECT_EQ(0, TQ_SetOneShot(static_cast<unsigned>(old)));
    EXPECT_EQ(0, TQ_Remove(static_cast<unsigned>(old)));
    EXPECT_EQ(0, TQ_Remove(static_cast<unsigned>(old))) << "entry now empty";
    EXPECT_EQ(0, TQ_SetPeriod(old, 100000));

    // Handles outside the table are refused.
    EXPECT_EQ(-1, TQ_SetPeriod(-1, 100));
    EXPECT_EQ(-1, TQ_SetPeriod(TQ_SIZE, 100));
    EXPECT_EQ(-1, TQ_SetOneShot(TQ_SIZE));
    EXPECT_EQ(-1, TQ_Remove(0xFFFFFFFFu));

    // The new task was not touched: still periodic, every tick, one record.
    const int runs = Runs(1);
    ASSERT_TRUE(WaitFor([&] { return Runs(1) >= runs + 3; }));
    EXPECT_EQ(TQ_SIZE - 1, Stats().free);
}

TEST_F(Tq, HandlesComeInRingOrderAndWrap) {
    ASSERT_EQ(0, TQ_Add(0, kCount[0], 1));  // the first task, every tick
    for (int i = 1; i < TQ_SIZE; ++i) ASSERT_EQ(i, TQ_Add(100000, nullptr, 1));
    EXPECT_EQ(-1, TQ_Add(0, kCount[1], 1)) << "no record left";
    EXPECT_EQ(0, Stats().free);

    ASSERT_EQ(0, TQ_Remove(5));
    EXPECT_EQ(1, Stats().free);
    // The failed add used up no handle: the ring wraps to 0, and the entry
    // of the first task is replaced.
    ASSERT_EQ(0, TQ_Add(0, kCount[1], 1));
    EXPECT_EQ(-1, TQ_Add(0, kCount[2], 1)) << "full again";
    ASSERT_TRUE(WaitFor([] { return Runs(1) >= 2; }));
    ASSERT_EQ(0, TQ_Remove(0));  // removes the new task, not the first one
    WaitTicks(2);
    const int first = Runs(0);
    const int second = Runs(1);
    EXPECT_TRUE(WaitFor([&] { return Runs(0) >= first + 3; }))
        << "first task keeps running, unaddressable";
    EXPECT_EQ(second, Runs(1));
    EXPECT_EQ(1, Stats().free);
    EXPECT_EQ(1, TQ_Add(100000, nullptr, 1)) << "the ring goes on where it was";
}

TEST_F(Tq, DueTasksWaitForAThreadSlotAndRemoveCountsByList) {
    // Every thread slot taken by a blocked task function.
    for (int i = 0; i < TQ_SIZE; ++i) ASSERT_GE(TQ_Add(0, kBlocker[i], 0), 0);
    ASSERT_TRUE(WaitFor([] { return g_blocked.load() == TQ_SIZE; }, 10000));
    EXPECT_TRUE(WaitFor([] { return StatsAre(TQ_SIZE, 0, 0, TQ_SIZE); }));

    ASSERT_GE(TQ_Add(0, kCount[0], 0), 0);  // due: must wait for a slot
    const int removedReady = TQ_Add(0, kCount[1], 0);
    const int removedWaiting = TQ_Add(100000, kCount[2], 0);
    ASSERT_TRUE(WaitFor([] { return Stats().ready == 2; }));
    EXPECT_TRUE(StatsAre(TQ_SIZE - 3, 1, 2, TQ_SIZE));

    ASSERT_EQ(0, TQ_Remove(static_cast<unsigned>(removedReady)));
    EXPECT_TRUE(StatsAre(TQ_SIZE - 2, 1, 1, TQ_SIZE));
    ASSERT_EQ(0, TQ_Remove(static_cast<unsigned>(removedWaiting)));
    EXPECT_TRUE(StatsAre(TQ_SIZE - 1, 0, 1, TQ_SIZE));
    WaitTicks(2);
    EXPECT_EQ(0, Runs(0));

    // The reaper frees the slots and the waiting task starts.
    OpenGate();
    ASSERT_TRUE(WaitFor([] { return Runs(0) == 1; }, 10000));
    EXPECT_TRUE(WaitFor([] { return StatsAre(TQ_SIZE, 0, 0, 0); }, 10000));
    EXPECT_EQ(0, Runs(1));
    EXPECT_EQ(0, Runs(2));
}

TEST_F(Tq, StopTimerEndsExpiry) {
    ASSERT_GE(TQ_Add(0, kCount[0], 1), 0);
    ASSERT_TRUE(WaitFor([] { return Runs(0) >= 1; }));
    EXPECT_EQ(0, TQ_StopTimer());
    const uint32_t ticks = TQ_TickCount();
    // A task that had already expired still runs; then all comes to rest.
    EXPECT_TRUE(WaitFor([] { return StatsAre(TQ_SIZE - 1, 1, 0, 0); }));
    const int runs = Runs(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_EQ(ticks, TQ_TickCount());
    EXPECT_EQ(runs, Runs(0));
    EXPECT_EQ(0, TQ_StopTimer()) << "a second request is harmless";
}

double CpuMs() {
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

TEST_F(Tq, IdleQueueSleeps) {
    // A waiting task keeps the tick busy with real work; the executor has
    // nothing to do and must block rather than poll.
    ASSERT_GE(TQ_Add(100000, nullptr, 1), 0);
    JustAfterTick();
    const double cpu0 = CpuMs();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    const double share = (CpuMs() - cpu0) / MsSince(t0);
    EXPECT_LT(share, 0.2) << "idle process used " << share * 100 << " % of a core";
}

// Stress: several threads add, remove and change tasks, delay, and use the
// event registry at the same time; afterwards every thread is reaped and the
// counters add up.
template <int N>
void* Quick(void* arg) {
    g_runs[200 + N].fetch_add(1);
    TQ_ThreadDone(*static_cast<int*>(arg));
    return nullptr;
}

void Nothing() {}

TEST_F(Tq, ConcurrentUseLosesNothing) {
    const TQ_TaskFn fns[] = {Quick<0>, Quick<1>, Quick<2>, Quick<3>, Quick<4>, Quick<5>, nullptr};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < 3; ++w) {
        threads.emplace_back([&, w] {
            std::minstd_rand rng(1 + w);
            while (!stop.load()) {
                const int pick = static_cast<int>(rng() % 10);
                const unsigned h = static_cast<unsigned>(rng() % TQ_SIZE);
                if (pick < 4) {
                    TQ_Add(static_cast<int>(rng() % 160) - 10, fns[rng() % 7],
                           static_cast<int>(rng() % 3));
                } else if (pick < 6) {
                    TQ_Remove(h);
                } else if (pick == 6) {
                    TQ_SetOneShot(h);
                } else if (pick == 7) {
                    TQ_SetPeriod(static_cast<int>(h), static_cast<int>(rng() % 200));
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 3));
                }
            }
        });
    }
    threads.emplace_back([&] {
        std::minstd_rand rng(99);
        while (!stop.load()) TQ_Delay(static_cast<int>(rng() % 120));
    });
    threads.emplace_back([&] {
        std::minstd_rand rng(7);
        while (!stop.load()) {
            const int slot = SYS_EVT_Register(500 + static_cast<int>(rng() % 3), Nothing);
            SYS_EVT_SignalAll(500 + static_cast<int>(rng() % 3));
            SYS_EVT_Signal(SYS_EVT_TQ_REAP);
            if (slot >= 0) SYS_EVT_Unregister(static_cast<unsigned>(slot));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    stop.store(true);
    for (std::thread& t : threads) t.join();

    int ran = 0;
    for (int n = 0; n < 6; ++n) ran += Runs(200 + n);
    EXPECT_GT(ran, 20);

    // Remove what can still be addressed (tasks whose entry the ring has
    // replaced stay); the executor and the reaper still work.
    for (unsigned h = 0; h < TQ_SIZE; ++h) EXPECT_EQ(0, TQ_Remove(h));
    ASSERT_GE(TQ_Add(0, kCount[0], 0), 0);
    EXPECT_TRUE(WaitFor([] { return Runs(0) == 1; }));

    // With the tick stopped the queue comes to rest: every thread reaped,
    // nothing left ready, and every record either free or waiting.
    ASSERT_EQ(0, TQ_StopTimer());
    EXPECT_TRUE(WaitFor(
        [] {
            const TQ_Stats s = Stats();
            return s.ready == 0 && s.running == 0 && s.free + s.waiting == TQ_SIZE;
        },
        5000));
    const TQ_Stats s = Stats();
    EXPECT_GE(s.free, 0);
    EXPECT_GE(s.waiting, 0);
}

}  // namespace
