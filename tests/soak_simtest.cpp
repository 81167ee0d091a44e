// Fault soak: several threads run transactions against the simulated ODU
// while faults of every kind hit about one request in ten, chosen from a
// seeded plan. Afterwards every transaction is matched with the requests it
// put on the wire, and its status and value are checked against what its
// faults allow.
//
// Size: ODU_SOAK_TRANSACTIONS (default: small, smaller still under the
// sanitizers and the emulator); seed: ODU_SOAK_SEED. scripts/soak runs the
// full size.
//
// How requests are tied to transactions. The link lock keeps the requests of
// one transaction consecutive. A thread reads the request count before and
// after each transaction; its own requests are those in that range that carry
// its parameter (every thread has its own). Requests whose bytes never reach
// the ODU (tx_full, tx_stuck) carry no message, so those two faults are only
// planned at a known transaction start: after each transaction the thread
// takes the link lock, where no other transaction can be in progress, and
// re-arms the faults; request count + 1 is then the first exchange of the
// next transaction, and up to three such faults there are that transaction's
// first exchanges. Every other fault leaves the request readable.
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "hw/int.h"
#include "link_sim_fixture.h"
#include "odu/msg.h"
#include "rt/tmr.h"

namespace {

constexpr int kThreads = 4;
// The receive FIFO is flushed once the request has gone out, so an answer
// that starts before a descheduled thread gets there is lost and the exchange
// repeated. 50 ms makes that rare on a loaded machine; the few that happen are
// counted and allowed for.
constexpr int kAnswerDelayUs = 50000;
// Inside the 500 ms answer wait: a late answer is still taken in both modes.
constexpr int kLateDelayUs = 300000;
constexpr int kSetEvery = 4;         // about one transaction in four is a SET
constexpr int kPlanPermille = 50;    // single faults on readable requests
constexpr int kPrefixPermille = 25;  // fault runs at a transaction start
constexpr int kArmWindow = 400;      // requests ahead that the plan is armed for
constexpr int kArmMax = 60;          // the simulator keeps 64 per-request faults
constexpr int kPolledEvery = 50;     // of every 50 transactions ...
constexpr int kPolledCount = 3;      // ... the last 3 run in polled mode
constexpr int kStallLimitS = 60;     // no transaction finished for this long: hang

int SoakSize() {
    if (const char* s = getenv("ODU_SOAK_TRANSACTIONS")) {
        int n = atoi(s);
        if (n > 0) return n;
    }
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    return 100;
#else
    if (getenv("ODUSIM_EMULATOR") != nullptr) return 80;  // PowerPC under qemu
    return 160;
#endif
}

uint64_t SoakSeed() {
    const char* s = getenv("ODU_SOAK_SEED");
    return s != nullptr ? strtoull(s, nullptr, 0) : 1;
}

// splitmix64 over (seed, a, b): a reproducible draw for every plan decision.
uint64_t Draw(uint64_t seed, uint64_t a, uint64_t b) {
    uint64_t z = seed ^ (a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// What an exchange hit by a fault ends in.
enum class Effect { Answer, Refused, Fails };

Effect EffectOf(int fault) {
    switch (fault) {
        case SIM_FAULT_NONE:
        case SIM_FAULT_LATE:     // within the answer wait
        case SIM_FAULT_GARBAGE:  // short enough for the flag hunt
            return Effect::Answer;
        case SIM_FAULT_REFUSED:
            return Effect::Refused;
        default:
            return Effect::Fails;
    }
}

// Faults that leave the request readable in the simulator's log.
constexpr SimFault kReadableFaults[] = {
    SIM_FAULT_SILENT,          SIM_FAULT_BAD_FCS,    SIM_FAULT_WRONG_COMMAND,
    SIM_FAULT_NOT_REPLY,       SIM_FAULT_REFUSED,    SIM_FAULT_LATE,
    SIM_FAULT_NO_CLOSING_FLAG, SIM_FAULT_FLAG_STORM, SIM_FAULT_GARBAGE,
};
// Faults for a run of four: the transaction they start gets no answer.
constexpr SimFault kFailingFaults[] = {
    SIM_FAULT_SILENT,    SIM_FAULT_BAD_FCS,         SIM_FAULT_WRONG_COMMAND,
    SIM_FAULT_NOT_REPLY, SIM_FAULT_NO_CLOSING_FLAG, SIM_FAULT_FLAG_STORM,
};

class FaultPlan {
   public:
    explicit FaultPlan(uint64_t seed) : seed_(seed) {}

    SimFault Single(int request) const {
        const uint64_t d = Draw(seed_, static_cast<uint64_t>(request), 1);
        if (d % 1000 >= kPlanPermille) return SIM_FAULT_NONE;
        return kReadableFaults[(d / 1000) % std::size(kReadableFaults)];
    }

    struct Run {
        SimFault kind;
        int length;
    };
    // Faults at the first exchanges of the transaction that follows request
    // `count`: 1..3 unreadable ones, or four failing ones in a row.
    Run Prefix(int count) const {
        const uint64_t d = Draw(seed_, static_cast<uint64_t>(count), 2);
        if (d % 1000 >= kPrefixPermille) return {SIM_FAULT_NONE, 0};
        const uint64_t k = d / 1000;
        switch (k % 3) {
            case 0:
                return {SIM_FAULT_TX_FULL, 1 + static_cast<int>((k / 3) % 3)};
            case 1:
                return {SIM_FAULT_TX_STUCK, 1 + static_cast<int>((k / 3) % 3)};
            default:
                return {kFailingFaults[(k / 3) % std::size(kFailingFaults)], 4};
        }
    }

    // Under the link lock: no request can start while the faults change.
    void Arm(int count) const {
        SIM_FaultClear();
        const Run run = Prefix(count);
        int armed = 0;
        for (int i = 1; i <= run.length; i++, armed++) SIM_FaultOnRequest(count + i, run.kind);
        for (int n = count + run.length + 1; n <= count + kArmWindow && armed < kArmMax; n++) {
            const SimFault f = Single(n);
            if (f != SIM_FAULT_NONE) {
                SIM_FaultOnRequest(n, f);
                armed++;
            }
        }
    }

   private:
    uint64_t seed_;
};

// The parameter each thread owns, with values no other thread uses.
struct Param {
    uint8_t command;
    uint8_t sub;
    int32_t kind;
    int32_t lo;  // range of the values written
    int32_t hi;
};

constexpr Param kParams[kThreads] = {
    {ODU_CMD_PARAM, 7, VK_WORD, -32768, 32767},              // transmit power
    {ODU_CMD_PARAM, 10, VK_LONGPAIR, INT32_MIN, INT32_MAX},  // frequencies
    {ODU_CMD_TIMES, 5, VK_BYTE, 0, 127},                     // ATPC time
    {ODU_CMD_RPSCTRL, 0, VK_BYTE, 128, 255},                 // RPS control
};

struct Value {
    int32_t a = 0;
    int32_t b = 0;
    bool operator==(const Value& o) const { return a == o.a && b == o.b; }
};

Value FromOdu(const Param& p, const OduValue& v) {
    switch (p.kind) {
        case VK_WORD:
            return {v.payload.w, 0};
        case VK_LONGPAIR:
            return {v.payload.l, v.second};
        default:
            return {v.payload.b[0], 0};
    }
}

OduValue ToOdu(const Param& p, const Value& x) {
    OduValue v{};
    v.kind = p.kind;
    if (p.kind == VK_WORD) {
        v.payload.w = static_cast<int16_t>(x.a);
    } else if (p.kind == VK_LONGPAIR) {
        v.payload.l = x.a;
        v.second = x.b;
    } else {
        v.payload.b[0] = static_cast<uint8_t>(x.a);
    }
    return v;
}

void SimStore(const Param& p, const Value& x) {
    if (p.kind == VK_WORD) {
        SIM_SetWord(p.command, p.sub, static_cast<int16_t>(x.a));
    } else if (p.kind == VK_LONGPAIR) {
        SIM_SetPair(p.command, p.sub, x.a, x.b);
    } else {
        SIM_SetByte(p.command, p.sub, static_cast<uint8_t>(x.a));
    }
}

Value SimHolds(const Param& p) {
    Value x;
    if (p.kind == VK_WORD) {
        x.a = SIM_GetWord(p.command, p.sub);
    } else if (p.kind == VK_LONGPAIR) {
        SIM_GetPair(p.command, p.sub, &x.a, &x.b);
    } else {
        x.a = SIM_GetByte(p.command, p.sub);
    }
    return x;
}

Value DrawValue(const Param& p, uint64_t d) {
    const int64_t span = static_cast<int64_t>(p.hi) - p.lo + 1;
    Value x;
    x.a = static_cast<int32_t>(p.lo + static_cast<int64_t>(d % static_cast<uint64_t>(span)));
    if (p.kind == VK_LONGPAIR) x.b = static_cast<int32_t>(static_cast<uint32_t>(d >> 32));
    return x;
}

// The message a request for this parameter must carry, little-endian.
Bytes ExpectedMessage(const Param& p, uint8_t type, const Value& x) {
    Bytes m = {type, p.command};
    if (MSG_HasSub(p.command)) m.push_back(p.sub);
    if (type != MSG_SET) return m;
    const int words = p.kind == VK_LONGPAIR ? 2 : 1;
    const int width = p.kind == VK_WORD ? 2 : p.kind == VK_LONGPAIR ? 4 : 1;
    for (int w = 0; w < words; w++) {
        const uint32_t u = static_cast<uint32_t>(w == 0 ? x.a : x.b);
        for (int i = 0; i < width; i++) m.push_back(static_cast<uint8_t>(u >> (8 * i)));
    }
    return m;
}

// One request as the model ODU logged it.
struct Request {
    int fault = -1;  // -1: not drained
    Bytes msg;       // empty when its bytes never reached the ODU
};

struct Transaction {
    int thread;
    uint8_t type;
    Value written;  // SET only
    int before;     // request count before and after the call
    int after;
    int status;
    bool untouched;  // result record left alone (checked when not ODU_OK)
    Value got;       // value handed over with ODU_OK
    Value held;      // value the simulator held right after
};

constexpr int32_t kUntouchedKind = 99;

struct Soak {
    FaultPlan plan;
    int perThread;
    std::vector<Request> log;  // index = request number
    int drained = 0;
    bool logLost = false;
    std::vector<Transaction> txns[kThreads];
    std::atomic<int> completed{0};
    std::atomic<int> running{kThreads};

    Soak(uint64_t seed, int total) : plan(seed), perThread((total + kThreads - 1) / kThreads) {}

    // Under the link lock: keeps the simulator's log (it holds the last 512
    // requests only) and moves the fault plan on.
    void Bookkeep() {
        LOCK_Take(LOCK_ODU_LINK);
        const int count = SIM_RequestCount();
        if (static_cast<int>(log.size()) <= count) log.resize(static_cast<size_t>(count) * 2 + 64);
        auto r = std::make_unique<SimRequest>();
        for (; drained < count; drained++) {
            if (SIM_GetRequest(drained, r.get()) != 0) {
                logLost = true;
                continue;
            }
            Request& q = log[static_cast<size_t>(r->number)];
            q.fault = r->fault;
            q.msg.assign(r->msg, r->msg + r->len);
        }
        plan.Arm(count);
        LOCK_Give(LOCK_ODU_LINK);
    }
};

struct Worker {
    Soak* soak;
    int index;
    uint64_t seed;
};

void* RunWorker(void* arg) {
    auto* w = static_cast<Worker*>(arg);
    Soak& s = *w->soak;
    const Param& p = kParams[w->index];
    for (int i = 0; i < s.perThread; i++) {
        const uint64_t d =
            Draw(w->seed, static_cast<uint64_t>(w->index) + 100, static_cast<uint64_t>(i));
        Transaction t{};
        t.thread = w->index;
        t.type = d % kSetEvery == 0 ? MSG_SET : MSG_GET;
        OduValue result{};
        result.kind = kUntouchedKind;
        const OduValue before = result;
        t.before = SIM_RequestCount();
        if (t.type == MSG_SET) {
            t.written = DrawValue(p, d >> 8);
            const OduValue v = ToOdu(p, t.written);
            t.status = ODU_Set(p.command, p.sub, &v, &result);
        } else {
            t.status = ODU_Get(p.command, p.sub, &result);
        }
        t.after = SIM_RequestCount();
        t.held = SimHolds(p);  // only this thread writes this parameter
        t.untouched = memcmp(&result, &before, sizeof result) == 0;
        if (t.status == ODU_OK) t.got = FromOdu(p, result);
        s.txns[w->index].push_back(t);
        s.Bookkeep();
        s.completed.fetch_add(1);
    }
    s.running.fetch_sub(1);
    return nullptr;
}

// Main thread while the workers run: interrupt mode most of the time, polled
// for a few transactions in every fifty; gives up on a hang.
void Supervise(Soak& s, int* switches) {
    bool irq = true;
    int last = -1;
    int64_t lastChange = SIM_NowUs();
    while (s.running.load() > 0) {
        const int done = s.completed.load();
        const bool wantIrq = done % kPolledEvery < kPolledEvery - kPolledCount;
        if (wantIrq != irq) {
            INT_OduRxMode(wantIrq ? INT_MODE_ON : INT_MODE_OFF);
            irq = wantIrq;
            ++*switches;
        }
        if (done != last) {
            last = done;
            lastChange = SIM_NowUs();
        } else if (SIM_NowUs() - lastChange > kStallLimitS * 1000000LL) {
            int held = -1;
            int pid = 0;
            LOCK_Query(LOCK_ODU_LINK, &held, &pid);
            fprintf(stderr,
                    "soak: no transaction finished for %d s (%d done, link lock held %d, "
                    "%d requests)\n",
                    kStallLimitS, done, held, SIM_RequestCount());
            abort();
        }
        TMR_SleepMs(20);
    }
    INT_OduRxMode(INT_MODE_OFF);
}

struct Tally {
    int requests[SIM_FAULT_COUNT] = {};
    int statuses[ODU_ERR_SHORT + 1] = {};
    int exchanges = 0;
    int goodFrames = 0;  // answers the IDU must have confirmed with a marker
    int cut = 0;         // answers lost to a late flush on a loaded machine
};

class FaultSoak : public SimBoardTest {};

TEST_F(FaultSoak, EveryStatusIsAccountedForByItsFaultsAndEveryValueIsTheOduOne) {
    const int total = SoakSize();
    const uint64_t seed = SoakSeed();
    auto soak = std::make_unique<Soak>(seed, total);
    Soak& s = *soak;

    SIM_SetAnswerDelayUs(kAnswerDelayUs);
    SIM_SetLateDelayUs(kLateDelayUs);
    for (int i = 0; i < kThreads; i++) {
        SimStore(kParams[i], DrawValue(kParams[i], Draw(seed, 7, static_cast<uint64_t>(i))));
    }
    s.Bookkeep();  // arms the plan for the first requests

    INT_OduRxMode(INT_MODE_ON);
    const int64_t t0 = SIM_NowUs();
    Worker workers[kThreads];
    pthread_t threads[kThreads];
    for (int i = 0; i < kThreads; i++) {
        workers[i] = {&s, i, seed};
        pthread_create(&threads[i], nullptr, RunWorker, &workers[i]);
    }
    int switches = 0;
    Supervise(s, &switches);
    for (pthread_t t : threads) pthread_join(t, nullptr);
    const double seconds = static_cast<double>(SIM_NowUs() - t0) / 1e6;
    s.Bookkeep();
    ExpectLinkLockFree();
    EXPECT_EQ(0, LNK_RxIrqMode.load());
    ASSERT_FALSE(s.logLost) << "requests dropped out of the simulator's log before they were read";

    // Tie every request to exactly one transaction.
    const int count = SIM_RequestCount();
    std::vector<int> owner(static_cast<size_t>(count) + 1, -1);
    std::vector<std::pair<int, int>> span;  // first and last request of each transaction
    std::vector<const Transaction*> all;
    for (const auto& list : s.txns) {
        for (const Transaction& t : list) all.push_back(&t);
    }
    auto mine = [](const Request& q, const Param& p) {
        return q.msg.size() >= 2 && q.msg[1] == p.command &&
               (!MSG_HasSub(p.command) || (q.msg.size() >= 3 && q.msg[2] == p.sub));
    };
    // One report per transaction, the first thing found wrong with it, with
    // the requests of its range (its own marked *).
    int failures = 0;
    std::vector<bool> reported(all.size(), false);
    auto fail = [&](size_t k, const std::string& why) {
        if (reported[k]) return;
        reported[k] = true;
        const Transaction& t = *all[k];
        if (++failures > 20) return;
        std::string reqs;
        for (int n = t.before + 1; n <= t.after; n++) {
            const Request& q = s.log[static_cast<size_t>(n)];
            reqs += " " + std::to_string(n) + (mine(q, kParams[t.thread]) ? "*" : "") + ":" +
                    SIM_FaultName(static_cast<SimFault>(q.fault));
        }
        ADD_FAILURE() << "thread " << t.thread << (t.type == MSG_SET ? " SET" : " GET")
                      << " returned " << t.status << ": " << why << "; requests" << reqs;
    };
    for (size_t k = 0; k < all.size(); k++) {
        const Transaction& t = *all[k];
        const Param& p = kParams[t.thread];
        int first = -1;
        int last = -1;
        for (int n = t.before + 1; n <= t.after; n++) {
            if (!mine(s.log[static_cast<size_t>(n)], p)) continue;
            if (first < 0) first = n;
            last = n;
        }
        if (first < 0) {
            fail(k, "no request of its own on the wire");
            span.emplace_back(0, -1);
            continue;
        }
        for (int n = first; n <= last; n++) {
            const Request& q = s.log[static_cast<size_t>(n)];
            if (!q.msg.empty() && !mine(q, p)) fail(k, "another thread's request inside it");
            if (owner[static_cast<size_t>(n)] >= 0) fail(k, "request counted twice");
            owner[static_cast<size_t>(n)] = static_cast<int>(k);
        }
        // Requests that never reached the ODU lead the transaction.
        while (first > 1 && s.log[static_cast<size_t>(first - 1)].msg.empty() &&
               owner[static_cast<size_t>(first - 1)] < 0) {
            owner[static_cast<size_t>(--first)] = static_cast<int>(k);
        }
        span.emplace_back(first, last);
    }
    for (int n = 1; n <= count; n++) {
        EXPECT_GE(owner[static_cast<size_t>(n)], 0) << "request " << n << " belongs to none";
    }

    // The status each transaction must return, from the faults on its exchanges.
    Tally tally;
    for (int n = 1; n <= count; n++) {
        const int f = s.log[static_cast<size_t>(n)].fault;
        if (f >= 0 && f < SIM_FAULT_COUNT) tally.requests[f]++;
    }
    for (size_t k = 0; k < all.size(); k++) {
        const Transaction& t = *all[k];
        const Param& p = kParams[t.thread];
        if (t.status >= 0 && t.status <= ODU_ERR_SHORT) tally.statuses[t.status]++;
        const int first = span[k].first;
        const int last = span[k].second;
        if (last < first) continue;
        const int exchanges = last - first + 1;
        tally.exchanges += exchanges;
        int expected = ODU_ERR_NORESPONSE;
        const Bytes message = ExpectedMessage(p, t.type, t.written);
        for (int n = first; n <= last; n++) {
            const Request& q = s.log[static_cast<size_t>(n)];
            const int f = q.fault;
            if (q.msg.empty() != (f == SIM_FAULT_TX_FULL || f == SIM_FAULT_TX_STUCK)) {
                fail(k, "request " + std::to_string(n) + " lost its bytes without a fault");
            }
            if (!q.msg.empty() && q.msg != message) fail(k, "request bytes differ");
            const Effect e = EffectOf(f);
            if (e != Effect::Fails || f == SIM_FAULT_WRONG_COMMAND || f == SIM_FAULT_NOT_REPLY) {
                tally.goodFrames++;
            }
            if (e == Effect::Fails) continue;
            if (n == last && t.status != ODU_ERR_NORESPONSE) {
                expected = e == Effect::Refused ? ODU_ERR_REJECTED : ODU_OK;
            } else {
                // The answer was flushed with the end of the request: the
                // thread was held off the processor for longer than the
                // answer delay. The exchange is repeated like any other.
                tally.cut++;
                tally.goodFrames--;
                if (tally.cut <= 5) {
                    printf("soak: answer to request %d (%s) lost, thread %d status %d\n", n,
                           SIM_FaultName(static_cast<SimFault>(f)), t.thread, t.status);
                }
            }
        }
        if (t.status != expected) fail(k, "its faults call for " + std::to_string(expected));
        if (exchanges > 4) fail(k, std::to_string(exchanges) + " exchanges");
        if (expected == ODU_ERR_NORESPONSE && exchanges != 4) {
            fail(k, "gave up after " + std::to_string(exchanges) + " exchanges");
        }
        if (t.status == ODU_OK) {
            if (!(t.got == t.held)) fail(k, "value differs from the ODU's");
            if (t.type == MSG_SET && !(t.got == t.written)) fail(k, "SET answer differs");
        } else if (!t.untouched) {
            fail(k, "result record written on failure");
        }
    }

    // Every good answer was confirmed with a marker frame, nothing else was;
    // the ODU never saw a damaged request.
    const int allowance = std::max(3, tally.exchanges / 100);
    EXPECT_LE(SIM_MarkerCount(), tally.goodFrames);
    EXPECT_LE(tally.goodFrames - SIM_MarkerCount() + tally.cut, allowance)
        << "answers lost to timing: " << tally.cut << " cut, "
        << tally.goodFrames - SIM_MarkerCount() << " unconfirmed";
    EXPECT_EQ(0, SIM_BadFrameCount());
    EXPECT_EQ(static_cast<size_t>(kThreads * s.perThread), all.size());
    EXPECT_EQ(0, failures);

    int faults = 0;
    for (int f = 1; f < SIM_FAULT_COUNT; f++) faults += tally.requests[f];
    printf("soak: seed %" PRIu64
           ", %zu transactions from %d threads, %d requests, %d exchanges, "
           "%.1f s, %d mode switches\n",
           seed, all.size(), kThreads, count, tally.exchanges, seconds, switches);
    printf("soak: faults on %d requests (%.1f %%):", faults,
           count > 0 ? 100.0 * faults / count : 0.0);
    for (int f = 1; f < SIM_FAULT_COUNT; f++) {
        printf(" %s %d", SIM_FaultName(static_cast<SimFault>(f)), tally.requests[f]);
    }
    const int others = static_cast<int>(all.size()) - tally.statuses[ODU_OK] -
                       tally.statuses[ODU_ERR_NORESPONSE] - tally.statuses[ODU_ERR_REJECTED];
    printf(
        "\nsoak: statuses: ok %d, noresponse %d, rejected %d, other %d; answers lost to timing "
        "%d; markers %d\n",
        tally.statuses[ODU_OK], tally.statuses[ODU_ERR_NORESPONSE],
        tally.statuses[ODU_ERR_REJECTED], others, tally.cut, SIM_MarkerCount());
    if (total >= 1000) {
        for (int f = 1; f < SIM_FAULT_COUNT; f++) {
            EXPECT_GT(tally.requests[f], 0)
                << SIM_FaultName(static_cast<SimFault>(f)) << " never hit";
        }
    }
}

}  // namespace
