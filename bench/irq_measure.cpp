// Wall time of one GET with the ODU receive interrupt on, against one in
// polled mode, on the simulated board with the ODU answering after a few
// milliseconds. Usage: irq_measure [answer delay in us, default 3000]
//                                  [GETs per mode, default 10]
// Each GET starts after the 50 ms gap has passed (not timed), as the single
// GET of a tool call does.
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

double nowMs() {
    struct timeval tv;
    TMR_Now(&tv);
    return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0;
}

// Median wall time of n GETs of the transmit power, in ms; -1 on a failed GET.
double medianGetMs(int n) {
    std::vector<double> t;
    for (int i = 0; i < n; i++) {
        TMR_SleepMs(60);  // let the gap after the previous exchange run out
        int16_t power = 0;
        const double t0 = nowMs();
        const int rc = ODU_GetTxPower(&power);
        t.push_back(nowMs() - t0);
        if (rc != ODU_OK) {
            fprintf(stderr, "GET failed: %d\n", rc);
            return -1;
        }
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int delayUs = argc > 1 ? atoi(argv[1]) : 3000;
    const int n = argc > 2 ? atoi(argv[2]) : 10;
    if (n < 1) return 2;
    SIM_Reset();
    SIM_SetAnswerDelayUs(delayUs);
    LOCK_Init();

    const double polled = medianGetMs(n);
    INT_OduRxMode(INT_MODE_ON);
    const double irq = medianGetMs(n);
    INT_OduRxMode(INT_MODE_OFF);
    if (polled <= 0 || irq <= 0) return 1;

    printf("answer delay: %d us, %d GETs per mode (median)\n", delayUs, n);
    printf("polled GET:    %8.2f ms\n", polled);
    printf("interrupt GET: %8.2f ms\n", irq);
    printf("ratio:         %8.4f\n", irq / polled);
    return 0;
}
