// Wall time and processor time of one parameter read (a GET of the transmit
// power) on the simulated board, in polled and in interrupt mode, against
// the floor the protocol itself sets:
//   polled:    request on the line + 500 ms answer wait
//              + marker on the line + 50 ms marker pause;
//   interrupt: request on the line + the ODU's answer delay + answer on the
//              line + marker on the line + 50 ms marker pause.
// Each read starts after the 50 ms gap has passed (not timed), as the single
// read of a tool call does. A third series reads back to back in interrupt
// mode: each read then first spins through the 50 ms gap after the one
// before, which shows in its processor time.
//
// Usage: read_latency [reads per mode, default 20] [answer delay in us,
//                     default 3000] [CSV file for the samples]
// Prints one line per series (polled, interrupt, back-to-back):
//   <series> n=<n> median=<ms> p95=<ms> min=<ms> max=<ms> floor=<ms> cpu=<ms>
// The CSV has the columns mode,read,ms.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "hw/int.h"
#include "odu/odu.h"
#include "rt/lock.h"
#include "rt/tmr.h"
#include "sim/sim.h"

namespace {

constexpr int kLineRate = 115200;  // the simulator's default: 10 bits per byte

double NowMs(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double LineMs(int bytes) {
    return bytes * 10.0 * 1000.0 / kLineRate;
}

int FrameBytes(const uint8_t* msg, int n) {
    uint8_t out[300];
    return SIM_BuildFrame(msg, n, out, sizeof out);
}

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5)];
}

struct Result {
    std::vector<double> wallMs;
    double cpuMs;  // median processor time of the whole process per read
};

bool Measure(int n, bool afterGap, Result* r) {
    std::vector<double> cpu;
    for (int i = 0; i < n; i++) {
        if (afterGap) TMR_SleepMs(60);  // the gap after the previous exchange runs out
        int16_t power = 0;
        const double c0 = NowMs(CLOCK_PROCESS_CPUTIME_ID);
        const double t0 = NowMs(CLOCK_MONOTONIC);
        const int rc = ODU_GetTxPower(&power);
        r->wallMs.push_back(NowMs(CLOCK_MONOTONIC) - t0);
        cpu.push_back(NowMs(CLOCK_PROCESS_CPUTIME_ID) - c0);
        if (rc != ODU_OK) {
            fprintf(stderr, "read_latency: read %d failed with status %d\n", i, rc);
            return false;
        }
    }
    r->cpuMs = Percentile(cpu, 0.5);
    return true;
}

void Report(const char* mode, const Result& r, double floorMs) {
    printf("%s n=%zu median=%.2f p95=%.2f min=%.2f max=%.2f floor=%.2f cpu=%.3f\n", mode,
           r.wallMs.size(), Percentile(r.wallMs, 0.5), Percentile(r.wallMs, 0.95),
           *std::min_element(r.wallMs.begin(), r.wallMs.end()),
           *std::max_element(r.wallMs.begin(), r.wallMs.end()), floorMs, r.cpuMs);
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? atoi(argv[1]) : 20;
    const int delayUs = argc > 2 ? atoi(argv[2]) : 3000;
    const char* csv = argc > 3 ? argv[3] : nullptr;
    if (n < 1 || delayUs < 0) return 2;

    SIM_Reset();
    SIM_SetLineRate(kLineRate);
    SIM_SetAnswerDelayUs(delayUs);
    SIM_SetWord(2, 7, 30);
    LOCK_Init();

    // The frames of this read: GET 2/7, its answer (value 30) and the marker.
    const uint8_t request[] = {2, 2, 7};
    const uint8_t answer[] = {1, 2, 0, 7, 30, 0};
    const double requestMs = LineMs(FrameBytes(request, sizeof request));
    const double answerMs = LineMs(FrameBytes(answer, sizeof answer));
    const double markerMs = LineMs(5);
    const double polledFloor = requestMs + 500.0 + markerMs + 50.0;
    const double irqFloor = requestMs + delayUs / 1000.0 + answerMs + markerMs + 50.0;

    Result polled;
    Result irq;
    Result backToBack;
    if (!Measure(n, true, &polled)) return 1;
    INT_OduRxMode(INT_MODE_ON);
    const bool ok = Measure(n, true, &irq) && Measure(n, false, &backToBack);
    INT_OduRxMode(INT_MODE_OFF);
    if (!ok) return 1;

    printf("answer delay %d us, line %d bit/s, %d reads per mode\n", delayUs, kLineRate, n);
    Report("polled", polled, polledFloor);
    Report("interrupt", irq, irqFloor);
    Report("back-to-back", backToBack, irqFloor + 50.0);

    if (csv != nullptr) {
        FILE* f = fopen(csv, "w");
        if (f == nullptr) return 1;
        fprintf(f, "mode,read,ms\n");
        for (size_t i = 0; i < polled.wallMs.size(); i++)
            fprintf(f, "polled,%zu,%.3f\n", i, polled.wallMs[i]);
        for (size_t i = 0; i < irq.wallMs.size(); i++)
            fprintf(f, "interrupt,%zu,%.3f\n", i, irq.wallMs[i]);
        fprintf(f, "# floor,polled,%.3f\n# floor,interrupt,%.3f\n", polledFloor, irqFloor);
        fclose(f);
    }
    return 0;
}
