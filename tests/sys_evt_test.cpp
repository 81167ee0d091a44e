// System event dispatcher: which handlers run, in which order, how often, on
// which thread, and that no signal is lost while threads register,
// unregister and signal at the same time.
#include "rt/sys_evt.h"

#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr int kFlushEvent = 9999;
constexpr int kFlushMark = -1;

std::mutex g_logMutex;
std::vector<int> g_log;
std::thread::id g_handlerThread;

void Append(int mark) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.push_back(mark);
    g_handlerThread = std::this_thread::get_id();
}

template <int N>
void Note() {
    Append(N);
}

bool LogHas(int mark) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return std::find(g_log.begin(), g_log.end(), mark) != g_log.end();
}

size_t LogSize() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_log.size();
}

bool WaitFor(const std::function<bool()>& done, int ms = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A handler that keeps the dispatcher busy until it is opened, so that
// signals pile up and are served by the one walk that follows.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool entered = false;
    bool open = false;
} g_gate;

void GateHandler() {
    std::unique_lock<std::mutex> lock(g_gate.m);
    g_gate.entered = true;
    g_gate.cv.notify_all();
    g_gate.cv.wait(lock, [] { return g_gate.open; });
}

constexpr int kGateEvent = 7777;

// Starts the dispatcher and registers the gate first, so that it is the
// oldest registration and the walk after it visits all the others.
class SysEvt : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_EQ(0, SYS_EVT_Init());
        ASSERT_EQ(0, SYS_EVT_Register(kGateEvent, GateHandler));
    }

    // Holds the dispatcher in the gate, lets `signals` mark registrations,
    // then lets it walk. Returns the marks of the handlers that ran in that
    // walk, in order. Needs one free slot (for the flush registration).
    std::vector<int> Round(const std::function<void()>& signals) {
        {
            std::lock_guard<std::mutex> lock(g_gate.m);
            g_gate.entered = false;
            g_gate.open = false;
        }
        EXPECT_EQ(0, SYS_EVT_Signal(kGateEvent));
        {
            std::unique_lock<std::mutex> lock(g_gate.m);
            EXPECT_TRUE(
                g_gate.cv.wait_for(lock, std::chrono::seconds(3), [] { return g_gate.entered; }));
        }
        {
            std::lock_guard<std::mutex> lock(g_logMutex);
            g_log.clear();
        }
        signals();
        // The newest registration runs last in the walk: once it has run,
        // everything marked above has been served.
        const int flush = SYS_EVT_Register(kFlushEvent, Note<kFlushMark>);
        EXPECT_GE(flush, 0);
        EXPECT_EQ(0, SYS_EVT_Signal(kFlushEvent));
        {
            std::lock_guard<std::mutex> lock(g_gate.m);
            g_gate.open = true;
            g_gate.cv.notify_all();
        }
        EXPECT_TRUE(WaitFor([] { return LogHas(kFlushMark); }));
        SYS_EVT_Unregister(static_cast<unsigned>(flush));
        // Later walks may already have added more; those stay in the log.
        std::lock_guard<std::mutex> lock(g_logMutex);
        const auto mark = std::find(g_log.begin(), g_log.end(), kFlushMark);
        std::vector<int> ran(g_log.begin(), mark);
        g_log.erase(g_log.begin(), mark == g_log.end() ? mark : mark + 1);
        return ran;
    }
};

TEST_F(SysEvt, FirstOnlyOrAllCoalescedInRegistrationOrder) {
    ASSERT_EQ(1, SYS_EVT_Register(1, Note<1>));
    ASSERT_EQ(2, SYS_EVT_Register(1, Note<2>));
    ASSERT_EQ(3, SYS_EVT_Register(2, Note<3>));
    ASSERT_EQ(4, SYS_EVT_Register(3, nullptr));
    ASSERT_EQ(5, SYS_EVT_Register(4, Note<5>));

    struct Case {
        const char* what;
        std::function<void()> signals;
        std::vector<int> ran;
    };
    const Case cases[] = {
        {"first registration only", [] { EXPECT_EQ(0, SYS_EVT_Signal(1)); }, {1}},
        {"all registrations, oldest first", [] { EXPECT_EQ(0, SYS_EVT_SignalAll(1)); }, {1, 2}},
        {"repeated signals coalesce",
         [] {
             for (int i = 0; i < 3; ++i) EXPECT_EQ(0, SYS_EVT_Signal(2));
             EXPECT_EQ(0, SYS_EVT_SignalAll(1));
             EXPECT_EQ(0, SYS_EVT_Signal(1));
         },
         {1, 2, 3}},
        {"list order, not signal order",
         [] {
             EXPECT_EQ(0, SYS_EVT_Signal(4));
             EXPECT_EQ(0, SYS_EVT_Signal(2));
             EXPECT_EQ(0, SYS_EVT_Signal(1));
         },
         {1, 3, 5}},
        {"null handler is accepted and skipped",
         [] {
             EXPECT_EQ(0, SYS_EVT_Signal(3));
             EXPECT_EQ(0, SYS_EVT_SignalAll(3));
             EXPECT_EQ(0, SYS_EVT_Signal(4));
         },
         {5}},
        {"unregistered number",
         [] {
             EXPECT_EQ(-1, SYS_EVT_Signal(12345));
             EXPECT_EQ(-1, SYS_EVT_SignalAll(12345));
         },
         {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.ran, Round(c.signals)) << c.what;
    }
    EXPECT_NE(std::this_thread::get_id(), g_handlerThread) << "handlers run on the dispatcher";
}

TEST_F(SysEvt, UnregisterDropsPendingRunAndFreesTheSlot) {
    ASSERT_EQ(1, SYS_EVT_Register(1, Note<1>));
    ASSERT_EQ(2, SYS_EVT_Register(2, Note<2>));
    EXPECT_EQ(std::vector<int>{2}, Round([] {
                  EXPECT_EQ(0, SYS_EVT_Signal(1));
                  EXPECT_EQ(0, SYS_EVT_Signal(2));
                  EXPECT_EQ(0, SYS_EVT_Unregister(1));
              }));
    EXPECT_EQ(-1, SYS_EVT_Signal(1));
    EXPECT_EQ(-1, SYS_EVT_Unregister(1)) << "already free";
    EXPECT_EQ(0, SYS_EVT_Unregister(128)) << "out of range: nothing done";
    EXPECT_EQ(0, SYS_EVT_Unregister(0xFFFFFFFFu));
    EXPECT_EQ(std::vector<int>{2}, Round([] { EXPECT_EQ(0, SYS_EVT_Signal(2)); }));
}

TEST_F(SysEvt, FullTableAndReusedSlotJoinsTheTail) {
    // Slot 0 is the gate. Slot 5 holds the older registration of event 1.
    for (int i = 1; i < SYS_EVT_SLOTS; ++i) {
        ASSERT_EQ(i, SYS_EVT_Register(i == 5 ? 1 : 50, i == 5 ? Note<5> : nullptr));
    }
    EXPECT_EQ(-1, SYS_EVT_Register(1, Note<99>)) << "table full";

    // The lowest free index is reused, but the registration is the newest.
    ASSERT_EQ(0, SYS_EVT_Unregister(3));
    ASSERT_EQ(0, SYS_EVT_Unregister(7));
    ASSERT_EQ(3, SYS_EVT_Register(1, Note<3>));
    EXPECT_EQ(std::vector<int>{5}, Round([] { EXPECT_EQ(0, SYS_EVT_Signal(1)); }));
    EXPECT_EQ((std::vector<int>{5, 3}), Round([] { EXPECT_EQ(0, SYS_EVT_SignalAll(1)); }));
    ASSERT_EQ(0, SYS_EVT_Unregister(5));
    EXPECT_EQ(std::vector<int>{3}, Round([] { EXPECT_EQ(0, SYS_EVT_Signal(1)); }));
}

std::atomic<int> g_resignals{0};

void Resignal() {
    const int earlier = g_resignals.fetch_add(1);
    Append(10);
    if (earlier < 2) {
        EXPECT_EQ(0, SYS_EVT_Signal(10));
    }
}

int g_lateSlot = -1;

void RegisterAndSignal() {
    Append(20);
    g_lateSlot = SYS_EVT_Register(21, Note<21>);
    EXPECT_EQ(0, SYS_EVT_Signal(21));
}

TEST_F(SysEvt, HandlersMaySignalAndRegister) {
    // A handler that marks itself again is behind the walk: the walk goes on
    // to the others first, and the new mark is served by a later walk, not
    // forgotten.
    ASSERT_EQ(1, SYS_EVT_Register(10, Resignal));
    ASSERT_EQ(2, SYS_EVT_Register(11, Note<11>));
    EXPECT_EQ((std::vector<int>{10, 11}), Round([] {
                  EXPECT_EQ(0, SYS_EVT_Signal(10));
                  EXPECT_EQ(0, SYS_EVT_Signal(11));
              }));
    EXPECT_TRUE(WaitFor([] { return LogSize() == 2; }));
    EXPECT_EQ(3, g_resignals.load());
    {
        std::lock_guard<std::mutex> lock(g_logMutex);
        EXPECT_EQ((std::vector<int>{10, 10}), g_log);
        g_log.clear();
    }

    // A registration made and signalled by a handler joins the tail and is
    // served without a further signal.
    ASSERT_EQ(3, SYS_EVT_Register(20, RegisterAndSignal));
    EXPECT_EQ(std::vector<int>{20}, Round([] { EXPECT_EQ(0, SYS_EVT_Signal(20)); }));
    EXPECT_TRUE(WaitFor([] { return LogHas(21); }));
    EXPECT_EQ(5, g_lateSlot) << "slot 4 was the round's own registration";
}

std::atomic<int> g_served[4];

template <int N>
void Serve() {
    g_served[N].fetch_add(1);
}

void Churn() {}

TEST(SysEvtStress, EverySignalIsServedWhileOthersRegisterAndUnregister) {
    ASSERT_EQ(0, SYS_EVT_Init());
    const SYS_EVT_Handler serve[4] = {Serve<0>, Serve<1>, Serve<2>, Serve<3>};
    std::atomic<bool> stop{false};
    std::atomic<int> lost{0};
    std::atomic<long> roundTrips{0};

    // Each waiter signals its own registration and waits for the handler;
    // a wake-up lost anywhere leaves it waiting.
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            const int slot = SYS_EVT_Register(300 + i, serve[i]);
            ASSERT_GE(slot, 0);
            while (!stop.load()) {
                const int before = g_served[i].load();
                ASSERT_EQ(0, SYS_EVT_Signal(300 + i));
                if (!WaitFor([&] { return g_served[i].load() > before; }, 5000)) {
                    lost.fetch_add(1);
                    return;
                }
                roundTrips.fetch_add(1);
            }
        });
    }
    // Churn: registrations come and go in front of and behind the waiters'
    // slots, and are signalled, sometimes while pending.
    for (int c = 0; c < 2; ++c) {
        threads.emplace_back([&, c] {
            std::minstd_rand rng(17 + c);
            std::vector<int> mine;
            while (!stop.load()) {
                const int event = 400 + static_cast<int>(rng() % 5);
                switch (rng() % 4) {
                    case 0:
                    case 1: {
                        const int slot = SYS_EVT_Register(event, (rng() & 1) ? Churn : nullptr);
                        if (slot >= 0) mine.push_back(slot);
                        break;
                    }
                    case 2:
                        if (!mine.empty()) {
                            EXPECT_EQ(0, SYS_EVT_Unregister(static_cast<unsigned>(mine.back())));
                            mine.pop_back();
                        }
                        break;
                    default:
                        (rng() & 1) ? SYS_EVT_SignalAll(event) : SYS_EVT_Signal(event);
                        break;
                }
                if (mine.size() > 40) {
                    for (int slot : mine) SYS_EVT_Unregister(static_cast<unsigned>(slot));
                    mine.clear();
                }
            }
            for (int slot : mine) SYS_EVT_Unregister(static_cast<unsigned>(slot));
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    stop.store(true);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(0, lost.load());
    EXPECT_GT(roundTrips.load(), 20);
}

}  // namespace
