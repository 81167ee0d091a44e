// The link layer's receive step on an arbitrary byte stream.
//
// The input is what the ODU channel received: it goes into the simulated
// board's receive FIFO at once, and LNK_ReceiveFrame runs on it the way an
// exchange does, up to 8 attempts, while bytes are left. Checked on every
// attempt:
// - the result is one of the receive statuses;
// - nothing is written outside the 128-byte answer buffer (it is exactly
//   that big, so ASan sees any overrun) and the length stays within it;
// - no opening flag leaves the length as it was;
// - a good frame passes the FCS check as handed over and is answered with
//   exactly one marker frame; any other outcome sends none.
//
// The library's waits (the busy waits between port polls and the pause after
// a marker frame) are replaced for this program by the two __wrap_ functions
// below (see CMakeLists.txt): the simulated FIFO holds the whole stream from
// the start, so waiting changes nothing but the speed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "odu/frm.h"
#include "odu/lnk.h"
#include "odu/odu.h"
#include "sim/sim.h"

extern "C" int __wrap__Z11TMR_SleepMsi(int) {
    return 0;
}
extern "C" int __wrap__Z14TMR_BusyWaitUsi(int) {
    return 0;
}

namespace {

constexpr int kAttempts = 8;  // receive attempts of one exchange
constexpr int kAnswerSize = 128;
constexpr uint8_t kUnset = 0xEE;  // length before an attempt

void Require(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return -1;  // the receive FIFO's depth
    SIM_Reset();
    // Fast line: the marker frame leaves the transmitter at once.
    SIM_SetLineRate(100000000);
    SIM_InjectRx(data, static_cast<int>(size));

    std::unique_ptr<uint8_t[]> answer(new uint8_t[kAnswerSize]);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (attempt > 0 && SIM_RxPending() == 0) break;
        memset(answer.get(), 0xA5, kAnswerSize);
        uint8_t len = kUnset;
        const int markers = SIM_MarkerCount();
        const int st = LNK_ReceiveFrame(answer.get(), &len);

        Require(st == ODU_OK || st == ODU_ERR_NORESPONSE || st == ODU_ERR_OVERLONG ||
                st == ODU_ERR_FCS);
        if (st == ODU_ERR_NORESPONSE) Require(len == kUnset);
        if (st == ODU_OK || st == ODU_ERR_FCS) Require(len < kAnswerSize);
        if (st == ODU_OK) {
            Require(FRM_CheckFcs(answer.get(), len) == 1);
            Require(SIM_MarkerCount() == markers + 1);
        } else {
            Require(SIM_MarkerCount() == markers);
        }
    }
    return 0;
}
