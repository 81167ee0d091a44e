// The simulated board: memory driver, FPGA ODU channel, GPIO and interrupt-
// controller words, interrupt nodes and the model ODU at the end of the line.
//
// Everything lives in one static record guarded by one mutex. There is no
// background thread: every entry point first brings the model up to the
// current time on CLOCK_MONOTONIC (Advance), which lands the answer bytes
// whose time has come in the receive FIFO.
//
// The model ODU has its own FCS, stuffing and message parsing on purpose: it
// must not share a fault with the control library it is testing.
#include "sim/board.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "sim/sim.h"

namespace {

// ------------------------------------------------------------------ board constants

// FPGA ODU channel (8-bit registers).
constexpr uint32_t kIrqEnable = 0x53000124u;
constexpr uint32_t kIrqStatus = 0x53000126u;
constexpr uint32_t kIrqBits = 0x5300012Cu;
constexpr uint32_t kTxStart = 0x5300012Fu;
constexpr uint32_t kRxData = 0x53000133u;
constexpr uint32_t kStatus = 0x53000134u;
constexpr uint32_t kTxData = 0x53000135u;
constexpr uint8_t kStRxEmpty = 0x80;
constexpr uint8_t kStTxDone = 0x20;
constexpr uint8_t kStTxFull = 0x10;

// Utility register (8 bits).
constexpr uint32_t kUtilReg = 0x2000u;

// 32-bit bit-handled words, carried least significant byte first.
constexpr uint32_t kWordAddr[] = {
    0xC8003004u,  // interrupt controller enable
    0xC8004004u,  // GPIO direction
    0xC8004008u,  // GPIO level (input, writes ignored)
    0xC800400Cu,  // GPIO interrupt status (stored as written)
    0xC8004010u,  // GPIO interrupt type, pins 0..7
    0xC8004014u,  // GPIO interrupt type, pins 8..12
    0xC4000020u,  // expansion bus configuration
    0xC400000Cu,  // expansion bus configuration word
};
constexpr int kWordCount = sizeof(kWordAddr) / sizeof(kWordAddr[0]);
constexpr int kGpioLevelIdx = 2;
constexpr int kGpioIrqStatusIdx = 3;

// Driver record as the driver takes it (native byte order).
struct DriverRecord {
    int32_t width;
    uint32_t address;
    uint8_t value8;
    uint8_t pad;
    uint16_t value16;
    uint32_t value32;
};
static_assert(sizeof(DriverRecord) == 16, "driver record is 16 bytes");

constexpr int kWidth8 = 0;
constexpr int kWidth16 = 1;
constexpr int kWidth32 = 2;
constexpr unsigned long kReqRead = 0;
constexpr unsigned long kReqWrite = 1;

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;

// ------------------------------------------------------------------ sizes

constexpr int kParams = 128;
constexpr int kFifo = 4096;
constexpr int kStreams = 16;
constexpr int kStreamMax = 6144;
constexpr int kPrefixMax = 1024;
constexpr int kOnRequestMax = 64;
constexpr int kReqKinds = 256;
constexpr int kTexts = 256;
constexpr int kLines = 1024;
constexpr int kTextMax = 130;
constexpr int kRegCounters = 64;
constexpr int kLinesIrq = 64;
constexpr int kMknods = 64;
constexpr int kMknodMax = 256;
constexpr int kMaxFd = 4096;
constexpr int kFdMemdrv = 1;
constexpr int kFdIntBase = 100;
constexpr int64_t kCancelPollUs = 10000;  // a blocked interrupt read notices cancellation

// ------------------------------------------------------------------ state

struct Knobs {
    int lineRate = 115200;
    int answerDelayUs = 2000;
    int lateDelayUs = 1000000;
    int setApplyDelayMs = 0;
    int restartSilenceMs = 20000;
    int txFifoDepth = 256;
    int garbageBytes = 20;
    int stormBytes = 2000;
    int driverDelayUs = 0;
    bool memdrvMissing = false;
    bool ioctlFails = false;
    bool intReadFails = false;
    bool intOpenFails = false;
    bool nodesExist = false;
    char tracePath[256] = {};
};

struct Param {
    bool used;
    uint8_t cmd;
    uint8_t sub;
    uint8_t len;
    uint8_t bytes[SIM_PARAM_MAX];
    bool pending;  // a SET waiting for its apply time
    int64_t applyUs;
    uint8_t newLen;
    uint8_t newBytes[SIM_PARAM_MAX];
};

struct Stream {
    int64_t startUs;  // the first byte lands at startUs + one byte time
    int len;
    int pos;  // bytes landed so far
    uint8_t data[kStreamMax];
};

struct OnRequest {
    int n;
    SimFault kind;
};

struct ReqKind {
    uint8_t type;
    uint8_t cmd;
    uint8_t sub;
    int count;
};

struct RegCounter {
    uint32_t address;
    int reads;
    int writes;
};

// All zero at power-on, so the record lives in .bss.
struct Board {
    Param params[kParams] = {};

    SimFault always = SIM_FAULT_NONE;
    OnRequest onRequest[kOnRequestMax] = {};
    int onRequestCount = 0;
    SimFault nextKind = SIM_FAULT_NONE;
    int nextCount = 0;

    uint8_t txFifo[kFifo] = {};
    int txCount = 0;
    int64_t txBusyUntil = 0;
    bool txStuck = false;

    uint8_t rxFifo[kFifo] = {};
    int rxHead = 0;
    int rxCount = 0;
    Stream streams[kStreams] = {};
    int streamHead = 0;
    int streamCount = 0;
    int64_t rxLineFree = 0;
    uint8_t prefix[kPrefixMax] = {};
    int prefixLen = 0;

    uint8_t irqEnable = 0;
    uint8_t irqStatus = 0;
    uint8_t irqBits = 0;
    uint8_t util = 0;
    uint32_t words[kWordCount] = {};

    int requestCount = 0;
    int markerCount = 0;
    int badFrames = 0;
    int answers = 0;
    int restarts = 0;
    int64_t silentUntil = 0;
    bool s5Armed = false;
    bool uploadOpen = false;
    SimRequest reqLog[SIM_REQUEST_LOG] = {};
    ReqKind reqKinds[kReqKinds] = {};
    int reqKindCount = 0;
    char texts[kTexts][kTextMax] = {};
    int textCount = 0;
    char lines[kLines][kTextMax] = {};
    int lineCount = 0;

    SimFrame trace[SIM_TRACE_LOG] = {};
    int traceCount = 0;

    SimAccess access[SIM_ACCESS_LOG] = {};
    int64_t accessCount = 0;
    RegCounter regCounters[kRegCounters] = {};
    int regCounterCount = 0;
    int unknownCount = 0;
    uint32_t lastUnknown = 0;
    bool haveRecord = false;
    int lastRequest = 0;
    uint8_t lastRecord[16] = {};
    int opens = 0;
    int closes = 0;
    int ioctls = 0;
    int lastOpenFlags = 0;

    int pending[kLinesIrq] = {};
    int intReads[kLinesIrq] = {};
    bool nodeMade[kLinesIrq] = {};
    char mknods[kMknods][kMknodMax] = {};
    int mknodCount = 0;
};

// What a reset does not touch: descriptors and threads that exist right now.
struct Live {
    int memdrvOpen = 0;
    int intOpen[kLinesIrq] = {};
    int intWaiting[kLinesIrq] = {};
};

Board g;
Knobs kn;
int traceFd = -1;
Live live;
pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t cond;  // CLOCK_MONOTONIC, set up in InitOnce
pthread_once_t once = PTHREAD_ONCE_INIT;
std::atomic<int> fdKind[kMaxFd];

void InitOnce();

// Holds the board mutex with cancellation disabled, so a cancelled thread
// can never leave the mutex held.
class Lock {
   public:
    Lock() {
        pthread_once(&once, InitOnce);
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &oldState_);
        pthread_mutex_lock(&mu);
    }
    ~Lock() {
        pthread_mutex_unlock(&mu);
        pthread_setcancelstate(oldState_, nullptr);
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    int oldState_ = 0;
};

// ------------------------------------------------------------------ real libc

template <typename F>
F Resolve(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using OpenFn = int (*)(const char*, int, ...);
using CloseFn = int (*)(int);
using SystemFn = int (*)(const char*);

// ------------------------------------------------------------------ time

int64_t Now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t ByteTime(int64_t bytes) {
    return bytes * 10000000 / kn.lineRate;
}

// A slow driver: the time one open, ioctl or close spends in the kernel.
// Taken outside the board mutex.
void DriverDelay(int us) {
    if (us <= 0) return;
    timespec ts{us / 1000000, static_cast<long>(us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// ------------------------------------------------------------------ own frame codec

uint16_t Fcs(const uint8_t* p, int n) {
    uint16_t fcs = 0xFFFF;
    for (int i = 0; i < n; ++i) {
        fcs ^= p[i];
        for (int bit = 0; bit < 8; ++bit) {
            fcs = (fcs & 1) != 0 ? static_cast<uint16_t>((fcs >> 1) ^ 0x8408)
                                 : static_cast<uint16_t>(fcs >> 1);
        }
    }
    return fcs;
}

bool FcsGood(const uint8_t* p, int n) {
    return Fcs(p, n) == 0xF0B8;
}

// Frame: flag, stuffed (msg + FCS), flag. fcsFlip damages the FCS.
int Frame(const uint8_t* msg, int n, uint8_t fcsFlip, bool closingFlag, uint8_t* out, int max) {
    uint8_t body[300];
    if (n < 0 || n > 290) return -1;
    memcpy(body, msg, static_cast<size_t>(n));
    uint16_t fcs = static_cast<uint16_t>(~Fcs(msg, n));
    body[n] = static_cast<uint8_t>((fcs & 0xFF) ^ fcsFlip);
    body[n + 1] = static_cast<uint8_t>(fcs >> 8);
    int len = 0;
    auto put = [&](uint8_t b) {
        if (len < max) out[len] = b;
        ++len;
    };
    put(kFlag);
    for (int i = 0; i < n + 2; ++i) {
        if (body[i] == kFlag || body[i] == kEscape) {
            put(kEscape);
            put(static_cast<uint8_t>(body[i] ^ 0x20));
        } else {
            put(body[i]);
        }
    }
    if (closingFlag) put(kFlag);
    return len <= max ? len : -1;
}

int Unstuff(const uint8_t* in, int n, uint8_t* out, int max) {
    int len = 0;
    for (int i = 0; i < n && len < max; ++i) {
        if (in[i] == kEscape) {
            if (i + 1 >= n) break;  // escape without partner: dropped
            out[len++] = static_cast<uint8_t>(in[++i] ^ 0x20);
        } else {
            out[len++] = in[i];
        }
    }
    return len;
}

bool IsMarker(const uint8_t* body, int n) {
    return n == 3 && body[0] == 0xFF && body[1] == 0x00 && body[2] == 0xFF;
}

bool HasSub(uint8_t cmd) {
    return cmd == 2 || cmd == 5 || cmd == 38;
}

// ------------------------------------------------------------------ trace

void TraceWrite(const SimFrame& f, const uint8_t* all, int n, const char* note) {
    if (traceFd < 0) return;
    static char line[kStreamMax * 3 + 256];
    int len = snprintf(line, 128, "%lld.%06lld %s", static_cast<long long>(f.firstUs / 1000000),
                       static_cast<long long>(f.firstUs % 1000000),
                       f.dir == SIM_IDU_TO_ODU ? "IDU->ODU" : "ODU->IDU");
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < n && len < static_cast<int>(sizeof(line)) - 200; ++i) {
        line[len++] = ' ';
        line[len++] = hex[all[i] >> 4];
        line[len++] = hex[all[i] & 15];
    }
    len += snprintf(line + len, 190, "  # %s\n", note);
    ssize_t ignored = write(traceFd, line, static_cast<size_t>(len));
    (void)ignored;
}

void Trace(SimDir dir, int64_t firstUs, int64_t lastUs, const uint8_t* bytes, int n,
           const char* note) {
    SimFrame& f = g.trace[g.traceCount % SIM_TRACE_LOG];
    f.dir = dir;
    f.firstUs = firstUs;
    f.lastUs = lastUs;
    f.len = n;
    memcpy(f.bytes, bytes, static_cast<size_t>(n < SIM_FRAME_MAX ? n : SIM_FRAME_MAX));
    ++g.traceCount;
    TraceWrite(f, bytes, n, note);
}

void OpenTrace() {
    if (traceFd >= 0) simboard::RealClose(traceFd);
    traceFd = -1;
    if (kn.tracePath[0] != '\0') {
        traceFd = simboard::RealOpen(kn.tracePath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
}

// ------------------------------------------------------------------ parameters

Param* FindParam(uint8_t cmd, uint8_t sub, bool create) {
    if (!HasSub(cmd)) sub = 0;
    Param* free = nullptr;
    for (Param& p : g.params) {
        if (p.used && p.cmd == cmd && p.sub == sub) return &p;
        if (!p.used && free == nullptr) free = &p;
    }
    if (!create || free == nullptr) return nullptr;
    *free = Param{};
    free->used = true;
    free->cmd = cmd;
    free->sub = sub;
    return free;
}

int PutParam(uint8_t cmd, uint8_t sub, const uint8_t* bytes, int len) {
    if (len < 0 || len > SIM_PARAM_MAX) return -1;
    Param* p = FindParam(cmd, sub, true);
    if (p == nullptr) return -1;
    if (len > 0) memcpy(p->bytes, bytes, static_cast<size_t>(len));
    p->len = static_cast<uint8_t>(len);
    p->pending = false;
    return 0;
}

void PutLe(uint8_t* out, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

void PutText(uint8_t cmd, uint8_t sub, const char* text, int width) {
    uint8_t block[SIM_PARAM_MAX] = {};
    if (width < 0) width = 0;
    if (width > SIM_PARAM_MAX) width = SIM_PARAM_MAX;
    size_t n = strlen(text);
    memcpy(block, text, n < static_cast<size_t>(width) ? n : static_cast<size_t>(width));
    PutParam(cmd, sub, block, width);
}

void PutVersion(uint8_t bank, const char* v1, const char* v2) {
    uint8_t block[21] = {};
    block[0] = bank;
    size_t n1 = strlen(v1);
    size_t n2 = strlen(v2);
    memcpy(block + 1, v1, n1 < 10 ? n1 : 10);
    memcpy(block + 11, v2, n2 < 10 ? n2 : 10);
    PutParam(8, 0, block, 21);
}

void DefaultParams() {
    uint8_t b[8];
    auto byte = [](uint8_t cmd, uint8_t sub, uint8_t v) { PutParam(cmd, sub, &v, 1); };
    auto word = [&](uint8_t cmd, uint8_t sub, int16_t v) {
        PutLe(b, static_cast<uint16_t>(v), 2);
        PutParam(cmd, sub, b, 2);
    };
    auto lng = [&](uint8_t cmd, uint8_t sub, int32_t v) {
        PutLe(b, static_cast<uint32_t>(v), 4);
        PutParam(cmd, sub, b, 4);
    };
    word(1, 0, 0);              // alarm word
    byte(2, 1, 1);              // operating mode
    byte(2, 4, 0);              // transmit mute
    byte(2, 6, 1);              // ATPC on
    word(2, 7, 30);             // transmit power, half units
    PutLe(b, 18700000, 4);      // transmit frequency, kHz
    PutLe(b + 4, 19710000, 4);  // receive frequency, kHz
    PutParam(2, 10, b, 8);
    byte(2, 18, 28);  // bandwidth
    byte(2, 19, 16);  // modulation
    byte(2, 31, 0);
    byte(2, 32, 18);      // RF band
    byte(2, 33, 1);       // HLTX
    lng(2, 34, 1010000);  // transmit/receive spacing
    word(2, 35, -20);     // minimum transmit power
    word(2, 37, 40);      // maximum transmit power
    PutText(2, 39, "MODEL-18G", 10);
    lng(2, 41, 19700000);
    lng(2, 45, 19720000);
    lng(2, 49, 18690000);
    lng(2, 53, 18710000);
    PutText(2, 57, "SN00012345", 10);
    byte(2, 58, 3);    // RBW
    byte(2, 59, 'K');  // OEM code
    byte(2, 61, 0);
    word(5, 1, 29);   // transmit power measurement
    word(5, 2, -90);  // received signal level
    word(5, 3, 41);   // temperature
    PutLe(b, 29, 2);
    PutLe(b + 2, static_cast<uint16_t>(-90), 2);
    PutLe(b + 4, 41, 2);
    PutParam(5, 255, b, 6);
    byte(7, 0, 1);  // reset cause: power-up
    PutVersion(1, "V1.00.0001", "V1.00.0002");
    byte(32, 0, 42);  // alive counter
    byte(36, 0, 0);   // RPS control
    byte(37, 0, 0);   // RPS alarm
    byte(38, 5, 10);  // ATPC time
    byte(38, 7, 30);  // alive time
}

// Value in force at time t (a pending SET counts from its apply time on).
int ValueAt(uint8_t cmd, uint8_t sub, int64_t t, uint8_t* out) {
    Param* p = FindParam(cmd, sub, false);
    if (p == nullptr) return 0;
    if (p->pending && t >= p->applyUs) {
        memcpy(out, p->newBytes, p->newLen);
        return p->newLen;
    }
    memcpy(out, p->bytes, p->len);
    return p->len;
}

void StoreSet(uint8_t cmd, uint8_t sub, const uint8_t* bytes, int len, int64_t t) {
    if (len <= 0) return;
    if (len > SIM_PARAM_MAX) len = SIM_PARAM_MAX;
    if (kn.setApplyDelayMs < 0) return;  // the ODU never takes a value
    Param* p = FindParam(cmd, sub, true);
    if (p == nullptr) return;
    if (kn.setApplyDelayMs == 0) {
        memcpy(p->bytes, bytes, static_cast<size_t>(len));
        p->len = static_cast<uint8_t>(len);
        p->pending = false;
        return;
    }
    memcpy(p->newBytes, bytes, static_cast<size_t>(len));
    p->newLen = static_cast<uint8_t>(len);
    p->pending = true;
    p->applyUs = t + static_cast<int64_t>(kn.setApplyDelayMs) * 1000;
}

// ------------------------------------------------------------------ receive side

void Fire(int line) {
    if (line < 0 || line >= kLinesIrq) return;
    ++g.pending[line];
    if (line >= 17 && line <= 29) g.words[kGpioIrqStatusIdx] |= 1u << (line - 17);
    pthread_cond_broadcast(&cond);
}

void Land(uint8_t b, bool first) {
    if (first && (g.irqEnable & 1) != 0) {
        g.irqStatus |= 1;
        Fire(27);
    }
    if (g.rxCount < kFifo) {
        g.rxFifo[(g.rxHead + g.rxCount) % kFifo] = b;
        ++g.rxCount;
    }
}

void Advance(int64_t now) {
    for (Param& p : g.params) {
        if (p.used && p.pending && now >= p.applyUs) {
            memcpy(p.bytes, p.newBytes, p.newLen);
            p.len = p.newLen;
            p.pending = false;
        }
    }
    while (g.streamCount > 0) {
        Stream& s = g.streams[g.streamHead];
        while (s.pos < s.len && s.startUs + ByteTime(s.pos + 1) <= now) {
            Land(s.data[s.pos], s.pos == 0);
            ++s.pos;
        }
        if (s.pos < s.len) break;
        g.streamHead = (g.streamHead + 1) % kStreams;
        --g.streamCount;
    }
}

// Time the next answer's first byte lands (line 27), or -1.
int64_t NextLine27() {
    if ((g.irqEnable & 1) == 0) return -1;
    for (int i = 0; i < g.streamCount; ++i) {
        const Stream& s = g.streams[(g.streamHead + i) % kStreams];
        if (s.pos == 0 && s.len > 0) return s.startUs + ByteTime(1);
    }
    return -1;
}

// Puts bytes on the ODU->IDU line from `start` on (after whatever is still
// on it). Returns false when too much is in flight.
bool Schedule(int64_t start, const uint8_t* bytes, int n, const char* note) {
    if (n <= 0) return true;
    if (g.streamCount == kStreams || n > kStreamMax) return false;
    Stream& s = g.streams[(g.streamHead + g.streamCount) % kStreams];
    ++g.streamCount;
    s.startUs = start > g.rxLineFree ? start : g.rxLineFree;
    s.len = n;
    s.pos = 0;
    memcpy(s.data, bytes, static_cast<size_t>(n));
    g.rxLineFree = s.startUs + ByteTime(n);
    Trace(SIM_ODU_TO_IDU, s.startUs + ByteTime(1), g.rxLineFree, bytes, n, note);
    pthread_cond_broadcast(&cond);
    return true;
}

// ------------------------------------------------------------------ faults

SimFault FaultFor(int n, bool consume) {
    for (int i = 0; i < g.onRequestCount; ++i) {
        if (g.onRequest[i].n == n) return g.onRequest[i].kind;
    }
    if (g.nextCount > 0) {
        SimFault kind = g.nextKind;
        if (consume) --g.nextCount;
        return kind;
    }
    return g.always;
}

const char* const kFaultNames[SIM_FAULT_COUNT] = {
    "none", "silent",          "bad_fcs",    "wrong_command", "not_reply", "refused",
    "late", "no_closing_flag", "flag_storm", "tx_stuck",      "tx_full",   "garbage",
};

// ------------------------------------------------------------------ model ODU

void CountKind(uint8_t type, uint8_t cmd, uint8_t sub) {
    for (int i = 0; i < g.reqKindCount; ++i) {
        ReqKind& r = g.reqKinds[i];
        if (r.type == type && r.cmd == cmd && r.sub == sub) {
            ++r.count;
            return;
        }
    }
    if (g.reqKindCount < kReqKinds) g.reqKinds[g.reqKindCount++] = ReqKind{type, cmd, sub, 1};
}

bool TextIs(const uint8_t* t, int n, const char* s) {
    return n == static_cast<int>(strlen(s)) && memcmp(t, s, static_cast<size_t>(n)) == 0;
}

void KeepText(char (*store)[kTextMax], int cap, int* count, const uint8_t* t, int n) {
    if (*count < cap) {
        int m = n < kTextMax - 1 ? n : kTextMax - 1;
        memcpy(store[*count], t, static_cast<size_t>(m));
        store[*count][m] = '\0';
    }
    ++*count;
}

// One request message (FCS checked and removed) that left the IDU at t.
void Handle(const uint8_t* msg, int n, int64_t t, int number, SimFault fault) {
    if (n < 2) return;
    uint8_t type = msg[0];
    uint8_t cmd = msg[1];
    bool hasSub = HasSub(cmd);
    int hdr = hasSub ? 3 : 2;
    if (n < hdr || (type != 2 && type != 3)) return;
    uint8_t sub = hasSub ? msg[2] : 0;
    CountKind(type, cmd, sub);
    if (t < g.silentUntil) return;  // restarting: hears nothing

    bool restart = false;
    if (type == 3 && cmd == 3) {
        const uint8_t* text = msg + hdr;
        int len = n - hdr;
        KeepText(g.texts, kTexts, &g.textCount, text, len);
        bool control =
            TextIs(text, len, "S5") || TextIs(text, len, "S4") || TextIs(text, len, "S7");
        if (g.uploadOpen && !control) KeepText(g.lines, kLines, &g.lineCount, text, len);
        if (TextIs(text, len, "S7")) g.uploadOpen = true;
        restart = g.s5Armed && TextIs(text, len, "S4");
        g.s5Armed = TextIs(text, len, "S5");
    } else if (type == 3) {
        StoreSet(cmd, sub, msg + hdr, n - hdr, t);
    }
    if (restart) {
        ++g.restarts;
        g.uploadOpen = false;
        g.silentUntil = t + static_cast<int64_t>(kn.restartSilenceMs) * 1000;
    }
    if (fault == SIM_FAULT_SILENT) return;

    uint8_t ans[128];
    int len = 0;
    ans[len++] = fault == SIM_FAULT_NOT_REPLY ? type : 1;
    ans[len++] = fault == SIM_FAULT_WRONG_COMMAND ? static_cast<uint8_t>(cmd + 1) : cmd;
    ans[len++] = fault == SIM_FAULT_REFUSED ? 1 : 0;
    if (hasSub) ans[len++] = sub;
    if (cmd != 3 && fault != SIM_FAULT_REFUSED) len += ValueAt(cmd, sub, t, ans + len);

    static uint8_t stream[kStreamMax];
    int sn = 0;
    if (fault == SIM_FAULT_FLAG_STORM) {
        static const uint8_t pattern[] = {kFlag, kFlag, 0x55, kFlag, 0x55, 0x55};
        int want = kn.stormBytes < kStreamMax ? kn.stormBytes : kStreamMax;
        while (sn < want) {
            stream[sn] = pattern[sn % sizeof(pattern)];
            ++sn;
        }
    } else {
        if (g.prefixLen > 0) {
            memcpy(stream, g.prefix, static_cast<size_t>(g.prefixLen));
            sn = g.prefixLen;
            g.prefixLen = 0;
        }
        if (fault == SIM_FAULT_GARBAGE) {
            int want = kn.garbageBytes < kPrefixMax ? kn.garbageBytes : kPrefixMax;
            for (int i = 0; i < want; ++i) stream[sn++] = static_cast<uint8_t>(0x30 + i % 0x40);
        }
        int fn = Frame(ans, len, fault == SIM_FAULT_BAD_FCS ? 0x01 : 0x00,
                       fault != SIM_FAULT_NO_CLOSING_FLAG, stream + sn, kStreamMax - sn);
        if (fn > 0) sn += fn;
    }
    char note[96];
    snprintf(note, sizeof(note), "answer to request %d%s%s", number,
             fault != SIM_FAULT_NONE ? ", fault " : "",
             fault != SIM_FAULT_NONE ? kFaultNames[fault] : "");
    int delay = fault == SIM_FAULT_LATE ? kn.lateDelayUs : kn.answerDelayUs;
    if (Schedule(t + delay, stream, sn, note)) ++g.answers;
}

// The bytes of one PORT_TXSTART, which leave the transmitter at `end`.
void OduReceive(const uint8_t* bytes, int n, int64_t end, int number, SimFault fault) {
    SimRequest* log = number > 0 ? &g.reqLog[(number - 1) % SIM_REQUEST_LOG] : nullptr;
    bool logged = false;
    int i = 0;
    while (i < n && bytes[i] != kFlag) ++i;  // bytes before the first flag are noise
    while (i < n) {
        int start = ++i;
        while (i < n && bytes[i] != kFlag) ++i;
        if (i >= n) break;  // no closing flag in this transmission
        int segLen = i - start;
        if (segLen == 0) continue;
        uint8_t body[256];
        int blen = Unstuff(bytes + start, segLen, body, sizeof(body));
        if (IsMarker(body, blen)) {
            ++g.markerCount;
            continue;
        }
        bool good = blen >= 3 && FcsGood(body, blen);
        if (log != nullptr && !logged) {
            logged = true;
            log->goodFcs = good ? 1 : 0;
            log->len = good ? blen - 2 : (blen < 128 ? blen : 128);
            memcpy(log->msg, body, static_cast<size_t>(log->len));
        }
        if (!good) {
            ++g.badFrames;
            continue;
        }
        Handle(body, blen - 2, end, number, fault);
    }
}

// Classifies a transmission: 0 nothing, 1 only marker frames, 2 anything else.
int Classify(const uint8_t* bytes, int n) {
    if (n == 0) return 0;
    if (bytes[0] != kFlag) return 2;
    int markers = 0;
    int i = 0;
    while (i < n) {
        int start = ++i;
        while (i < n && bytes[i] != kFlag) ++i;
        if (i >= n) return start == n ? (markers > 0 ? 1 : 2) : 2;
        if (i == start) continue;
        uint8_t body[256];
        int blen = Unstuff(bytes + start, i - start, body, sizeof(body));
        if (!IsMarker(body, blen)) return 2;
        ++markers;
    }
    return markers > 0 ? 1 : 2;
}

void StartTx(int64_t now) {
    int n = g.txCount;
    static uint8_t bytes[kFifo];
    memcpy(bytes, g.txFifo, static_cast<size_t>(n));
    g.txCount = 0;
    g.txStuck = false;
    int kind = Classify(bytes, n);
    if (kind == 0 && FaultFor(g.requestCount + 1, false) != SIM_FAULT_TX_FULL) return;
    int number = 0;
    SimFault fault = SIM_FAULT_NONE;
    if (kind != 1) {
        number = ++g.requestCount;
        fault = FaultFor(number, true);
        SimRequest& r = g.reqLog[(number - 1) % SIM_REQUEST_LOG];
        r = SimRequest{};
        r.number = number;
        r.fault = fault;
    }
    int64_t start = now > g.txBusyUntil ? now : g.txBusyUntil;
    int64_t end = start + ByteTime(n);
    g.txBusyUntil = end;
    if (number > 0) g.reqLog[(number - 1) % SIM_REQUEST_LOG].endUs = end;
    char note[64];
    if (number > 0) {
        snprintf(note, sizeof(note), "request %d%s%s", number,
                 fault != SIM_FAULT_NONE ? ", fault " : "",
                 fault != SIM_FAULT_NONE ? kFaultNames[fault] : "");
    } else {
        snprintf(note, sizeof(note), "marker");
    }
    if (n > 0 || number > 0) Trace(SIM_IDU_TO_ODU, start + ByteTime(1), end, bytes, n, note);
    if (fault == SIM_FAULT_TX_STUCK) {
        g.txStuck = true;  // the frame never leaves
        return;
    }
    OduReceive(bytes, n, end, number, fault);
}

// ------------------------------------------------------------------ registers

int WordIndex(uint32_t address) {
    for (int i = 0; i < kWordCount; ++i) {
        if (kWordAddr[i] == address) return i;
    }
    return -1;
}

bool TxFull() {
    return g.txCount >= kn.txFifoDepth || FaultFor(g.requestCount + 1, false) == SIM_FAULT_TX_FULL;
}

uint8_t Status(int64_t now) {
    uint8_t st = 0;
    if (g.rxCount == 0) st |= kStRxEmpty;
    if (!g.txStuck && g.always != SIM_FAULT_TX_STUCK && now >= g.txBusyUntil) st |= kStTxDone;
    if (TxFull()) st |= kStTxFull;
    return st;
}

bool Known(uint32_t address) {
    switch (address) {
        case kIrqEnable:
        case kIrqStatus:
        case kIrqBits:
        case kTxStart:
        case kRxData:
        case kStatus:
        case kTxData:
        case kUtilReg:
            return true;
        default:
            return WordIndex(address) >= 0;
    }
}

uint32_t RegRead(uint32_t address, int64_t now) {
    switch (address) {
        case kStatus:
            return Status(now);
        case kRxData: {
            if (g.rxCount == 0) return 0;
            uint8_t b = g.rxFifo[g.rxHead];
            g.rxHead = (g.rxHead + 1) % kFifo;
            --g.rxCount;
            return b;
        }
        case kIrqStatus: {
            uint8_t v = g.irqStatus;
            g.irqStatus = 0;  // cleared by reading
            return v;
        }
        case kIrqEnable:
            return g.irqEnable;
        case kIrqBits:
            return g.irqBits;
        case kUtilReg:
            return g.util;
        case kTxStart:
        case kTxData:
            return 0;
        default:
            break;
    }
    int w = WordIndex(address);
    return w >= 0 ? g.words[w] : 0;
}

void RegWrite(uint32_t address, uint32_t v, int64_t now) {
    switch (address) {
        case kTxData:
            if (!TxFull()) g.txFifo[g.txCount++] = static_cast<uint8_t>(v);
            return;
        case kTxStart:
            if ((v & 1) != 0) StartTx(now);
            return;
        case kIrqEnable:
            g.irqEnable = static_cast<uint8_t>(v);
            pthread_cond_broadcast(&cond);
            return;
        case kIrqStatus:
            g.irqStatus = static_cast<uint8_t>(g.irqStatus & ~v);
            return;
        case kIrqBits:
            g.irqBits = static_cast<uint8_t>(v);
            return;
        case kUtilReg:
            g.util = static_cast<uint8_t>(v);
            return;
        default:
            break;
    }
    int w = WordIndex(address);
    if (w == kGpioLevelIdx || w < 0) return;
    g.words[w] = v;
}

void CountAccess(uint32_t address, bool write) {
    RegCounter* c = nullptr;
    for (int i = 0; i < g.regCounterCount; ++i) {
        if (g.regCounters[i].address == address) c = &g.regCounters[i];
    }
    if (c == nullptr && g.regCounterCount < kRegCounters) {
        c = &g.regCounters[g.regCounterCount++];
        *c = RegCounter{address, 0, 0};
    }
    if (c != nullptr) ++(write ? c->writes : c->reads);
}

// The 32-bit words travel least significant byte first in memory.
uint32_t WordFromField(uint32_t field) {
    uint8_t m[4];
    memcpy(m, &field, 4);
    return static_cast<uint32_t>(m[0]) | static_cast<uint32_t>(m[1]) << 8 |
           static_cast<uint32_t>(m[2]) << 16 | static_cast<uint32_t>(m[3]) << 24;
}

uint32_t FieldFromWord(uint32_t word) {
    uint8_t m[4] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                    static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
    uint32_t field;
    memcpy(&field, m, 4);
    return field;
}

// ------------------------------------------------------------------ reset and config

void ApplyStartupConfig();
int ConfigLocked(const char* line);

void ResetLocked() {
    if (traceFd >= 0) simboard::RealClose(traceFd);
    traceFd = -1;
    kn = Knobs{};
    g.~Board();
    new (&g) Board();
    DefaultParams();
    ApplyStartupConfig();
    pthread_cond_broadcast(&cond);
}

void ClearWitnessLocked() {
    g.requestCount = 0;
    g.markerCount = 0;
    g.badFrames = 0;
    g.answers = 0;
    g.restarts = 0;
    g.reqKindCount = 0;
    g.textCount = 0;
    g.lineCount = 0;
    g.traceCount = 0;
    g.accessCount = 0;
    g.regCounterCount = 0;
    g.unknownCount = 0;
    g.lastUnknown = 0;
    g.haveRecord = false;
    g.opens = 0;
    g.closes = 0;
    g.ioctls = 0;
    g.mknodCount = 0;
    for (int& r : g.intReads) r = 0;
}

long Num(const char* s, bool* ok) {
    if (s == nullptr) {
        *ok = false;
        return 0;
    }
    char* end = nullptr;
    long v = strtol(s, &end, 0);
    if (end == s || *end != '\0') *ok = false;
    return v;
}

bool Flag(const char* s, bool* ok) {
    return Num(s, ok) != 0;
}

int ConfigLocked(const char* text) {
    char buf[512];
    snprintf(buf, sizeof(buf), "%s", text);
    char* hash = strchr(buf, '#');
    if (hash != nullptr) *hash = '\0';
    char* tok[12] = {};
    int nt = 0;
    char* save = nullptr;
    for (char* t = strtok_r(buf, " \t\r\n", &save); t != nullptr && nt < 12;
         t = strtok_r(nullptr, " \t\r\n", &save)) {
        tok[nt++] = t;
    }
    if (nt == 0) return 0;
    bool ok = true;
    const char* key = tok[0];
    Knobs& k = kn;
    if (strcmp(key, "trace") == 0) {
        if (nt < 2) return -1;
        snprintf(k.tracePath, sizeof(k.tracePath), "%s", tok[1]);
        OpenTrace();
        return 0;
    }
    if (strcmp(key, "fault") == 0) {
        if (nt < 2) return -1;
        if (strcmp(tok[1], "clear") == 0) {
            g.always = SIM_FAULT_NONE;
            g.onRequestCount = 0;
            g.nextCount = 0;
            return 0;
        }
        SimFault kind = SIM_FaultByName(tok[1]);
        if (kind == SIM_FAULT_COUNT) return -1;
        if (nt == 2) {
            g.always = kind;
            return 0;
        }
        long n = Num(tok[3], &ok);
        if (!ok || n < 1) return -1;
        if (strcmp(tok[2], "on") == 0) {
            if (g.onRequestCount == kOnRequestMax) return -1;
            g.onRequest[g.onRequestCount++] = OnRequest{static_cast<int>(n), kind};
            return 0;
        }
        if (strcmp(tok[2], "next") == 0) {
            g.nextKind = kind;
            g.nextCount = static_cast<int>(n);
            return 0;
        }
        return -1;
    }
    if (strcmp(key, "param") == 0) {
        if (nt < 5) return -1;
        long cmd = Num(tok[1], &ok);
        long sub = Num(tok[2], &ok);
        const char* kind = tok[3];
        if (!ok || cmd < 0 || cmd > 255 || sub < 0 || sub > 255) return -1;
        uint8_t c = static_cast<uint8_t>(cmd);
        uint8_t s = static_cast<uint8_t>(sub);
        uint8_t b[SIM_PARAM_MAX] = {};
        if (strcmp(kind, "text") == 0) {
            long width = nt > 5 ? Num(tok[5], &ok) : 10;
            if (!ok) return -1;
            PutText(c, s, tok[4], static_cast<int>(width));
            return 0;
        }
        if (strcmp(kind, "version") == 0) {
            if (nt < 7) return -1;
            long bank = Num(tok[4], &ok);
            if (!ok) return -1;
            PutVersion(static_cast<uint8_t>(bank), tok[5], tok[6]);
            return 0;
        }
        int width = 0;
        int values = 1;
        if (strcmp(kind, "byte") == 0) {
            width = 1;
        } else if (strcmp(kind, "word") == 0) {
            width = 2;
        } else if (strcmp(kind, "long") == 0) {
            width = 4;
        } else if (strcmp(kind, "pair") == 0) {
            width = 4;
            values = 2;
        } else if (strcmp(kind, "triple") == 0) {
            width = 2;
            values = 3;
        } else if (strcmp(kind, "hex") == 0) {
            width = 1;
            values = nt - 4;
        } else {
            return -1;
        }
        if (nt < 4 + values) return -1;
        for (int i = 0; i < values; ++i) {
            long v =
                strcmp(kind, "hex") == 0 ? strtol(tok[4 + i], nullptr, 16) : Num(tok[4 + i], &ok);
            PutLe(b + i * width, static_cast<uint32_t>(v), width);
        }
        if (!ok) return -1;
        return PutParam(c, s, b, width * values);
    }
    if (nt < 2) return -1;
    long v = Num(tok[1], &ok);
    if (!ok) return -1;
    if (strcmp(key, "line_rate") == 0 && v > 0) {
        k.lineRate = static_cast<int>(v);
    } else if (strcmp(key, "answer_delay_us") == 0 && v >= 0) {
        k.answerDelayUs = static_cast<int>(v);
    } else if (strcmp(key, "late_delay_us") == 0 && v >= 0) {
        k.lateDelayUs = static_cast<int>(v);
    } else if (strcmp(key, "set_apply_delay_ms") == 0) {
        k.setApplyDelayMs = static_cast<int>(v);
    } else if (strcmp(key, "restart_silence_ms") == 0 && v >= 0) {
        k.restartSilenceMs = static_cast<int>(v);
    } else if (strcmp(key, "tx_fifo_depth") == 0 && v >= 1 && v <= kFifo) {
        k.txFifoDepth = static_cast<int>(v);
    } else if (strcmp(key, "garbage_bytes") == 0 && v >= 0) {
        k.garbageBytes = static_cast<int>(v);
    } else if (strcmp(key, "storm_bytes") == 0 && v >= 0) {
        k.stormBytes = static_cast<int>(v);
    } else if (strcmp(key, "driver_delay_us") == 0 && v >= 0) {
        k.driverDelayUs = static_cast<int>(v);
    } else if (strcmp(key, "memdrv_missing") == 0) {
        k.memdrvMissing = Flag(tok[1], &ok);
    } else if (strcmp(key, "ioctl_fails") == 0) {
        k.ioctlFails = Flag(tok[1], &ok);
    } else if (strcmp(key, "int_read_fails") == 0) {
        k.intReadFails = Flag(tok[1], &ok);
    } else if (strcmp(key, "int_open_fails") == 0) {
        k.intOpenFails = Flag(tok[1], &ok);
    } else if (strcmp(key, "nodes_exist") == 0) {
        k.nodesExist = Flag(tok[1], &ok);
    } else {
        return -1;
    }
    return 0;
}

void ConfigLine(const char* line, const char* where) {
    if (ConfigLocked(line) != 0) {
        fprintf(stderr, "odusim: %s: not understood: %s\n", where, line);
    }
}

// ODUSIM_CONFIG (a file), then ODUSIM_SET (lines separated by ';' or
// newlines), then ODUSIM_TRACE.
void ApplyStartupConfig() {
    const char* file = getenv("ODUSIM_CONFIG");
    if (file != nullptr && file[0] != '\0') {
        FILE* f = fopen(file, "re");
        if (f == nullptr) {
            fprintf(stderr, "odusim: cannot read config file %s\n", file);
        } else {
            char line[512];
            while (fgets(line, sizeof(line), f) != nullptr) ConfigLine(line, file);
            fclose(f);
        }
    }
    const char* set = getenv("ODUSIM_SET");
    if (set != nullptr) {
        char buf[4096];
        snprintf(buf, sizeof(buf), "%s", set);
        char* save = nullptr;
        for (char* t = strtok_r(buf, ";\n", &save); t != nullptr;
             t = strtok_r(nullptr, ";\n", &save)) {
            ConfigLine(t, "ODUSIM_SET");
        }
    }
    const char* trace = getenv("ODUSIM_TRACE");
    if (trace != nullptr && trace[0] != '\0') {
        snprintf(kn.tracePath, sizeof(kn.tracePath), "%s", trace);
        OpenTrace();
    }
}

void InitOnce() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&cond, &attr);
    pthread_condattr_destroy(&attr);
    pthread_mutex_lock(&mu);
    DefaultParams();
    ApplyStartupConfig();
    pthread_mutex_unlock(&mu);
}

__attribute__((constructor)) void LoadBoard() {
    pthread_once(&once, InitOnce);
}

int ParseIntPath(const char* path) {
    static const char prefix[] = "/dev/int";
    if (strncmp(path, prefix, sizeof(prefix) - 1) != 0) return -1;
    const char* p = path + sizeof(prefix) - 1;
    if (*p < '0' || *p > '9') return -1;
    int line = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        line = line * 10 + (*p - '0');
        if (line >= kLinesIrq) return -1;
    }
    return *p == '\0' ? line : -1;
}

void UnlockOnCancel(void* arg) {
    int line = *static_cast<int*>(arg);
    --live.intWaiting[line];
    pthread_mutex_unlock(&mu);
}

}  // namespace

// ================================================================== hooks for the interposers

namespace {

int OpenLocked(bool memdrv, int line, int flags, int* err, int* delay) {
    Lock lock;
    *delay = memdrv ? kn.driverDelayUs : 0;
    Advance(Now());
    g.lastOpenFlags = flags;
    if (memdrv && kn.memdrvMissing) {
        *err = ENOENT;
        return -1;
    }
    if (!memdrv && kn.intOpenFails) {
        *err = ENODEV;
        return -1;
    }
    if (!memdrv && !g.nodeMade[line] && !kn.nodesExist) {
        *err = ENOENT;
        return -1;
    }
    int fd = simboard::RealOpen("/dev/null", O_RDWR | (flags & O_CLOEXEC), 0);
    if (fd < 0) {
        *err = errno;
        return -1;
    }
    if (fd >= kMaxFd) {
        simboard::RealClose(fd);
        *err = EMFILE;
        return -1;
    }
    fdKind[fd].store(memdrv ? kFdMemdrv : kFdIntBase + line);
    if (memdrv) {
        ++g.opens;
        ++live.memdrvOpen;
    } else {
        ++live.intOpen[line];
    }
    return fd;
}

int IoctlLocked(unsigned long request, void* arg, int* err, int* delay) {
    Lock lock;
    *delay = kn.driverDelayUs;
    int64_t now = Now();
    Advance(now);
    ++g.ioctls;
    if (arg == nullptr) {
        *err = EFAULT;
        return -1;
    }
    DriverRecord rec;
    memcpy(&rec, arg, sizeof(rec));
    g.haveRecord = true;
    g.lastRequest = static_cast<int>(request);
    memcpy(g.lastRecord, &rec, sizeof(rec));
    if (kn.ioctlFails) {
        *err = EIO;
        return -1;
    }
    if ((request != kReqRead && request != kReqWrite) || rec.width < kWidth8 ||
        rec.width > kWidth32) {
        *err = EINVAL;
        return -1;
    }
    bool write = request == kReqWrite;
    bool word = WordIndex(rec.address) >= 0;
    if (!Known(rec.address)) {
        ++g.unknownCount;
        g.lastUnknown = rec.address;
    }
    uint32_t value;
    if (write) {
        value = rec.width == kWidth8    ? rec.value8
                : rec.width == kWidth16 ? rec.value16
                : word                  ? WordFromField(rec.value32)
                                        : rec.value32;
        RegWrite(rec.address, value, now);
    } else {
        value = RegRead(rec.address, now);
        if (rec.width == kWidth8) {
            rec.value8 = static_cast<uint8_t>(value);
        } else if (rec.width == kWidth16) {
            rec.value16 = static_cast<uint16_t>(value);
        } else {
            rec.value32 = word ? FieldFromWord(value) : value;
        }
        memcpy(arg, &rec, sizeof(rec));
    }
    CountAccess(rec.address, write);
    SimAccess& a = g.access[g.accessCount % SIM_ACCESS_LOG];
    a.address = rec.address;
    a.width = rec.width;
    a.write = write ? 1 : 0;
    a.value = value;
    a.tUs = now;
    ++g.accessCount;
    return 0;
}

}  // namespace

namespace simboard {

const int kOpenModeFlags = O_CREAT | O_TMPFILE;

int RealOpen(const char* path, int flags, mode_t mode) {
    static OpenFn fn = Resolve<OpenFn>("open");
    return fn(path, flags, mode);
}

int RealClose(int fd) {
    static CloseFn fn = Resolve<CloseFn>("close");
    return fn(fd);
}

int Open(const char* path, int flags, bool* handled, int* err) {
    *handled = false;
    if (path == nullptr) return -1;
    int line = -1;
    bool memdrv = strcmp(path, "/dev/memdrv") == 0;
    if (!memdrv) line = ParseIntPath(path);
    if (!memdrv && line < 0) return -1;
    *handled = true;
    int delay = 0;
    int fd = OpenLocked(memdrv, line, flags, err, &delay);
    if (fd >= 0) DriverDelay(delay);
    return fd;
}

bool IsSimulated(int fd) {
    return fd >= 0 && fd < kMaxFd && fdKind[fd].load() != 0;
}

void Closing(int fd) {
    if (fd < 0 || fd >= kMaxFd) return;
    int kind = fdKind[fd].exchange(0);
    if (kind == 0) return;
    int delay = 0;
    {
        Lock lock;
        if (kind == kFdMemdrv) {
            ++g.closes;
            --live.memdrvOpen;
            delay = kn.driverDelayUs;
        } else {
            --live.intOpen[kind - kFdIntBase];
        }
    }
    DriverDelay(delay);
}

int Ioctl(int fd, unsigned long request, void* arg, int* err) {
    int kind = fd >= 0 && fd < kMaxFd ? fdKind[fd].load() : 0;
    if (kind != kFdMemdrv) {
        *err = ENOTTY;
        return -1;
    }
    int delay = 0;
    int result = IoctlLocked(request, arg, err, &delay);
    DriverDelay(delay);
    return result;
}

ssize_t Read(int fd, void* buf, size_t n, int* err) {
    int kind = fd >= 0 && fd < kMaxFd ? fdKind[fd].load() : 0;
    if (kind < kFdIntBase) {
        *err = EINVAL;
        return -1;
    }
    int line = kind - kFdIntBase;
    pthread_once(&once, InitOnce);
    pthread_mutex_lock(&mu);
    if (kn.intReadFails) {
        ++g.intReads[line];
        pthread_mutex_unlock(&mu);
        *err = EIO;
        return -1;
    }
    ++live.intWaiting[line];
    // A blocked read is a cancellation point: a cancelled reader leaves
    // through UnlockOnCancel with the mutex released. The cancellation is
    // taken at pthread_testcancel between short waits rather than inside the
    // futex wait itself, because qemu-user aborts a thread that is cancelled
    // inside a blocking system call.
    pthread_cleanup_push(UnlockOnCancel, &line);
    for (;;) {
        int64_t now = Now();
        Advance(now);
        if (g.pending[line] > 0) break;
        int64_t until = now + kCancelPollUs;
        if (line == 27) {
            int64_t next = NextLine27();
            if (next >= 0 && next < until) until = next;
        }
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(until / 1000000);
        ts.tv_nsec = static_cast<long>(until % 1000000) * 1000;
        int cancelState;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState);
        pthread_cond_timedwait(&cond, &mu, &ts);
        pthread_setcancelstate(cancelState, nullptr);
        pthread_testcancel();
    }
    pthread_cleanup_pop(0);
    --g.pending[line];
    --live.intWaiting[line];
    ++g.intReads[line];
    pthread_mutex_unlock(&mu);
    if (n > 0) static_cast<uint8_t*>(buf)[0] = static_cast<uint8_t>(line);
    return n > 0 ? 1 : 0;
}

int System(const char* command, bool* handled) {
    *handled = false;
    if (command == nullptr || strncmp(command, "mknod ", 6) != 0) return -1;
    int line = -1;
    char buf[kMknodMax];
    snprintf(buf, sizeof(buf), "%s", command);
    char* save = nullptr;
    for (char* t = strtok_r(buf, " \t", &save); t != nullptr; t = strtok_r(nullptr, " \t", &save)) {
        int l = ParseIntPath(t);
        if (l >= 0) line = l;
    }
    if (line < 0) return -1;
    *handled = true;
    Lock lock;
    if (g.mknodCount < kMknods) snprintf(g.mknods[g.mknodCount], kMknodMax, "%s", command);
    ++g.mknodCount;
    if (g.nodeMade[line] || kn.nodesExist) return 256;
    g.nodeMade[line] = true;
    return 0;
}

}  // namespace simboard

// ================================================================== control API

void SIM_Reset() {
    Lock lock;
    ResetLocked();
}

void SIM_ClearWitness() {
    Lock lock;
    Advance(Now());
    ClearWitnessLocked();
}

int SIM_Config(const char* line) {
    Lock lock;
    Advance(Now());
    return line != nullptr ? ConfigLocked(line) : -1;
}

int64_t SIM_NowUs() {
    return Now();
}

namespace {
template <typename F>
void Knob(F f) {
    Lock lock;
    Advance(Now());
    f(kn);
}
}  // namespace

void SIM_SetLineRate(int v) {
    Knob([v](Knobs& k) { k.lineRate = v > 0 ? v : 1; });
}
void SIM_SetAnswerDelayUs(int v) {
    Knob([v](Knobs& k) { k.answerDelayUs = v > 0 ? v : 0; });
}
void SIM_SetLateDelayUs(int v) {
    Knob([v](Knobs& k) { k.lateDelayUs = v > 0 ? v : 0; });
}
void SIM_SetSetApplyDelayMs(int v) {
    Knob([v](Knobs& k) { k.setApplyDelayMs = v; });
}
void SIM_SetRestartSilenceMs(int v) {
    Knob([v](Knobs& k) { k.restartSilenceMs = v > 0 ? v : 0; });
}
void SIM_SetTxFifoDepth(int v) {
    Knob([v](Knobs& k) { k.txFifoDepth = v < 1 ? 1 : (v > kFifo ? kFifo : v); });
}
void SIM_SetGarbageBytes(int v) {
    Knob([v](Knobs& k) { k.garbageBytes = v > 0 ? v : 0; });
}
void SIM_SetStormBytes(int v) {
    Knob([v](Knobs& k) { k.stormBytes = v > 0 ? v : 0; });
}
void SIM_SetMemdrvMissing(int v) {
    Knob([v](Knobs& k) { k.memdrvMissing = v != 0; });
}
void SIM_SetDriverDelayUs(int v) {
    Knob([v](Knobs& k) { k.driverDelayUs = v > 0 ? v : 0; });
}
void SIM_SetIoctlFails(int v) {
    Knob([v](Knobs& k) { k.ioctlFails = v != 0; });
}
void SIM_SetIntReadFails(int v) {
    Knob([v](Knobs& k) { k.intReadFails = v != 0; });
}
void SIM_SetIntOpenFails(int v) {
    Knob([v](Knobs& k) { k.intOpenFails = v != 0; });
}
void SIM_SetNodesExist(int v) {
    Knob([v](Knobs& k) { k.nodesExist = v != 0; });
}
void SIM_SetTraceFile(const char* path) {
    Lock lock;
    snprintf(kn.tracePath, sizeof(kn.tracePath), "%s", path != nullptr ? path : "");
    OpenTrace();
}

// ------------------------------------------------------------------ parameters

int SIM_SetParam(uint8_t cmd, uint8_t sub, const uint8_t* bytes, int len) {
    Lock lock;
    Advance(Now());
    return PutParam(cmd, sub, bytes, len);
}

int SIM_GetParam(uint8_t cmd, uint8_t sub, uint8_t* out, int max) {
    Lock lock;
    Advance(Now());
    Param* p = FindParam(cmd, sub, false);
    if (p == nullptr) return -1;
    int n = p->len < max ? p->len : max;
    if (n > 0) memcpy(out, p->bytes, static_cast<size_t>(n));
    return p->len;
}

void SIM_SetByte(uint8_t cmd, uint8_t sub, uint8_t value) {
    SIM_SetParam(cmd, sub, &value, 1);
}

void SIM_SetWord(uint8_t cmd, uint8_t sub, int16_t value) {
    uint8_t b[2];
    PutLe(b, static_cast<uint16_t>(value), 2);
    SIM_SetParam(cmd, sub, b, 2);
}

void SIM_SetLong(uint8_t cmd, uint8_t sub, int32_t value) {
    uint8_t b[4];
    PutLe(b, static_cast<uint32_t>(value), 4);
    SIM_SetParam(cmd, sub, b, 4);
}

void SIM_SetPair(uint8_t cmd, uint8_t sub, int32_t first, int32_t second) {
    uint8_t b[8];
    PutLe(b, static_cast<uint32_t>(first), 4);
    PutLe(b + 4, static_cast<uint32_t>(second), 4);
    SIM_SetParam(cmd, sub, b, 8);
}

void SIM_SetTriple(uint8_t cmd, uint8_t sub, int16_t a, int16_t b, int16_t c) {
    uint8_t v[6];
    PutLe(v, static_cast<uint16_t>(a), 2);
    PutLe(v + 2, static_cast<uint16_t>(b), 2);
    PutLe(v + 4, static_cast<uint16_t>(c), 2);
    SIM_SetParam(cmd, sub, v, 6);
}

void SIM_SetText(uint8_t cmd, uint8_t sub, const char* text, int width) {
    Lock lock;
    PutText(cmd, sub, text != nullptr ? text : "", width);
}

void SIM_SetVersion(uint8_t bank, const char* v1, const char* v2) {
    Lock lock;
    PutVersion(bank, v1 != nullptr ? v1 : "", v2 != nullptr ? v2 : "");
}

int SIM_GetByte(uint8_t cmd, uint8_t sub) {
    uint8_t b[SIM_PARAM_MAX];
    return SIM_GetParam(cmd, sub, b, sizeof(b)) >= 1 ? b[0] : -1;
}

int SIM_GetWord(uint8_t cmd, uint8_t sub) {
    uint8_t b[SIM_PARAM_MAX];
    if (SIM_GetParam(cmd, sub, b, sizeof(b)) < 2) return -1;
    return static_cast<int16_t>(static_cast<uint16_t>(b[0] | b[1] << 8));
}

int32_t SIM_GetLong(uint8_t cmd, uint8_t sub) {
    uint8_t b[SIM_PARAM_MAX];
    if (SIM_GetParam(cmd, sub, b, sizeof(b)) < 4) return 0;
    return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                                static_cast<uint32_t>(b[2]) << 16 |
                                static_cast<uint32_t>(b[3]) << 24);
}

int SIM_GetPair(uint8_t cmd, uint8_t sub, int32_t* first, int32_t* second) {
    uint8_t b[SIM_PARAM_MAX];
    if (SIM_GetParam(cmd, sub, b, sizeof(b)) < 8) return -1;
    uint32_t v[2] = {};
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 4; ++j) v[i] |= static_cast<uint32_t>(b[4 * i + j]) << (8 * j);
    }
    *first = static_cast<int32_t>(v[0]);
    *second = static_cast<int32_t>(v[1]);
    return 0;
}

// ------------------------------------------------------------------ faults

void SIM_FaultAlways(SimFault kind) {
    Lock lock;
    g.always = kind;
}

void SIM_FaultOnRequest(int n, SimFault kind) {
    Lock lock;
    for (int i = 0; i < g.onRequestCount; ++i) {
        if (g.onRequest[i].n == n) {
            g.onRequest[i].kind = kind;
            return;
        }
    }
    if (g.onRequestCount < kOnRequestMax) g.onRequest[g.onRequestCount++] = OnRequest{n, kind};
}

void SIM_FaultNext(int count, SimFault kind) {
    Lock lock;
    g.nextKind = kind;
    g.nextCount = count > 0 ? count : 0;
}

void SIM_FaultClear() {
    Lock lock;
    g.always = SIM_FAULT_NONE;
    g.onRequestCount = 0;
    g.nextCount = 0;
}

const char* SIM_FaultName(SimFault kind) {
    return kind >= 0 && kind < SIM_FAULT_COUNT ? kFaultNames[kind] : "?";
}

SimFault SIM_FaultByName(const char* name) {
    for (int i = 0; i < SIM_FAULT_COUNT; ++i) {
        if (name != nullptr && strcmp(name, kFaultNames[i]) == 0) return static_cast<SimFault>(i);
    }
    return SIM_FAULT_COUNT;
}

// ------------------------------------------------------------------ injection

void SIM_InjectRx(const uint8_t* bytes, int n) {
    Lock lock;
    Advance(Now());
    for (int i = 0; i < n; ++i) Land(bytes[i], i == 0);
    pthread_cond_broadcast(&cond);
}

void SIM_ScheduleRx(int delayUs, const uint8_t* bytes, int n) {
    Lock lock;
    int64_t now = Now();
    Advance(now);
    Schedule(now + delayUs, bytes, n, "injected");
}

void SIM_PrefixNextAnswer(const uint8_t* bytes, int n) {
    Lock lock;
    if (n < 0) n = 0;
    if (n > kPrefixMax) n = kPrefixMax;
    memcpy(g.prefix, bytes, static_cast<size_t>(n));
    g.prefixLen = n;
}

int SIM_BuildFrame(const uint8_t* msg, int n, uint8_t* out, int max) {
    return Frame(msg, n, 0, true, out, max);
}

int SIM_RxPending() {
    Lock lock;
    Advance(Now());
    return g.rxCount;
}

int SIM_TxPending() {
    Lock lock;
    return g.txCount;
}

// ------------------------------------------------------------------ witness

namespace {
template <typename F>
auto Locked(F f) {
    Lock lock;
    Advance(Now());
    return f();
}
}  // namespace

int SIM_RequestCount() {
    return Locked([] { return g.requestCount; });
}
int SIM_MarkerCount() {
    return Locked([] { return g.markerCount; });
}
int SIM_BadFrameCount() {
    return Locked([] { return g.badFrames; });
}
int SIM_AnswerCount() {
    return Locked([] { return g.answers; });
}
int SIM_RestartCount() {
    return Locked([] { return g.restarts; });
}
int SIM_Silent() {
    return Locked([] { return Now() < g.silentUntil ? 1 : 0; });
}

int SIM_GetRequest(int i, SimRequest* out) {
    Lock lock;
    if (i < 0 || i >= g.requestCount || i < g.requestCount - SIM_REQUEST_LOG) return -1;
    *out = g.reqLog[i % SIM_REQUEST_LOG];
    return 0;
}

int SIM_CountRequests(uint8_t type, uint8_t cmd, uint8_t sub) {
    Lock lock;
    if (!HasSub(cmd)) sub = 0;
    for (int i = 0; i < g.reqKindCount; ++i) {
        const ReqKind& r = g.reqKinds[i];
        if (r.type == type && r.cmd == cmd && r.sub == sub) return r.count;
    }
    return 0;
}

namespace {
int CopyText(const char (*store)[kTextMax], int cap, int count, int i, char* out, int size) {
    if (i < 0 || i >= count || i >= cap) return -1;
    if (size > 0) snprintf(out, static_cast<size_t>(size), "%s", store[i]);
    return static_cast<int>(strlen(store[i]));
}
}  // namespace

int SIM_TextCount() {
    return Locked([] { return g.textCount; });
}
int SIM_GetText(int i, char* out, int size) {
    Lock lock;
    return CopyText(g.texts, kTexts, g.textCount, i, out, size);
}
int SIM_UploadLineCount() {
    return Locked([] { return g.lineCount; });
}
int SIM_GetUploadLine(int i, char* out, int size) {
    Lock lock;
    return CopyText(g.lines, kLines, g.lineCount, i, out, size);
}
int SIM_UploadOpen() {
    return Locked([] { return g.uploadOpen ? 1 : 0; });
}

int SIM_TraceCount() {
    return Locked([] { return g.traceCount; });
}

int SIM_GetTrace(int i, SimFrame* out) {
    Lock lock;
    if (i < 0 || i >= g.traceCount || i < g.traceCount - SIM_TRACE_LOG) return -1;
    *out = g.trace[i % SIM_TRACE_LOG];
    return 0;
}

int64_t SIM_AccessCount() {
    return Locked([] { return g.accessCount; });
}

int SIM_GetAccess(int64_t i, SimAccess* out) {
    Lock lock;
    if (i < 0 || i >= g.accessCount || i < g.accessCount - SIM_ACCESS_LOG) return -1;
    *out = g.access[i % SIM_ACCESS_LOG];
    return 0;
}

namespace {
int RegCount(uint32_t address, bool write) {
    Lock lock;
    for (int i = 0; i < g.regCounterCount; ++i) {
        if (g.regCounters[i].address == address) {
            return write ? g.regCounters[i].writes : g.regCounters[i].reads;
        }
    }
    return 0;
}
}  // namespace

int SIM_RegReads(uint32_t address) {
    return RegCount(address, false);
}
int SIM_RegWrites(uint32_t address) {
    return RegCount(address, true);
}
int SIM_UnknownAccessCount() {
    return Locked([] { return g.unknownCount; });
}
uint32_t SIM_LastUnknownAddress() {
    return Locked([] { return g.lastUnknown; });
}

int SIM_LastRecord(int* request, uint8_t bytes[16]) {
    Lock lock;
    if (!g.haveRecord) return -1;
    *request = g.lastRequest;
    memcpy(bytes, g.lastRecord, 16);
    return 0;
}

int SIM_DriverOpens() {
    return Locked([] { return g.opens; });
}
int SIM_DriverCloses() {
    return Locked([] { return g.closes; });
}
int SIM_DriverIoctls() {
    return Locked([] { return g.ioctls; });
}
int SIM_DriverOpenNow() {
    return Locked([] { return live.memdrvOpen; });
}
int SIM_LastOpenFlags() {
    return Locked([] { return g.lastOpenFlags; });
}

uint32_t SIM_RegPeek(uint32_t address) {
    Lock lock;
    int64_t now = Now();
    Advance(now);
    switch (address) {
        case kStatus:
            return Status(now);
        case kRxData:
            return g.rxCount > 0 ? g.rxFifo[g.rxHead] : 0;
        case kIrqStatus:
            return g.irqStatus;
        default:
            return RegRead(address, now);
    }
}

void SIM_RegPoke(uint32_t address, uint32_t value) {
    Lock lock;
    Advance(Now());
    switch (address) {
        case kIrqEnable:
            g.irqEnable = static_cast<uint8_t>(value);
            break;
        case kIrqStatus:
            g.irqStatus = static_cast<uint8_t>(value);
            break;
        case kIrqBits:
            g.irqBits = static_cast<uint8_t>(value);
            break;
        case kUtilReg:
            g.util = static_cast<uint8_t>(value);
            break;
        default: {
            int w = WordIndex(address);
            if (w >= 0) g.words[w] = value;
        }
    }
    pthread_cond_broadcast(&cond);
}

uint32_t SIM_RegPeekDriver(uint32_t address) {
    uint32_t v = SIM_RegPeek(address);
    return WordIndex(address) >= 0 ? FieldFromWord(v) : v;
}

void SIM_RegPokeDriver(uint32_t address, uint32_t word) {
    SIM_RegPoke(address, WordIndex(address) >= 0 ? WordFromField(word) : word);
}

// ------------------------------------------------------------------ interrupt lines

void SIM_FireLine(int n) {
    Lock lock;
    Advance(Now());
    Fire(n);
}

int SIM_IntWaiting(int n) {
    Lock lock;
    return n >= 0 && n < kLinesIrq ? live.intWaiting[n] : 0;
}

int SIM_IntReads(int n) {
    Lock lock;
    return n >= 0 && n < kLinesIrq ? g.intReads[n] : 0;
}

int SIM_IntOpenNow(int n) {
    Lock lock;
    return n >= 0 && n < kLinesIrq ? live.intOpen[n] : 0;
}

int SIM_MknodCount() {
    return Locked([] { return g.mknodCount; });
}

int SIM_GetMknod(int i, char* out, int size) {
    Lock lock;
    if (i < 0 || i >= g.mknodCount || i >= kMknods) return -1;
    if (size > 0) snprintf(out, static_cast<size_t>(size), "%s", g.mknods[i]);
    return static_cast<int>(strlen(g.mknods[i]));
}
