// Link transactions: one request/answer conversation with the ODU.
#include "odu/lnk.h"

#include <cstdio>
#include <cstring>

#include "hw/port.h"
#include "odu/frm.h"
#include "odu/msg.h"
#include "rt/lock.h"

std::atomic<uint8_t> LNK_RxIrqMode{0};
// Re-created on the monotonic clock by lnkRxCondInit before main runs; the
// static initialiser only makes it a valid object until then.
pthread_cond_t LNK_RxCond = PTHREAD_COND_INITIALIZER;
pthread_mutex_t LNK_RxMutex = PTHREAD_MUTEX_INITIALIZER;
TmrDeadline LNK_GapTimer = {};

namespace {

constexpr int kBufSize = 128;
constexpr int kHuntReads = 12;          // byte reads while hunting for the opening flag
constexpr int kMinBody = 3;             // shorter bodies between flags are dropped
constexpr int kCollectReadLimit = 512;  // byte reads per receive attempt after the opening flag
constexpr int kExchangeAttempts = 8;    // receive attempts per exchange
constexpr int kRetryAttempts = 12;      // receive attempts per send cycle of the retry variant
constexpr int kTransactExchanges = 4;
constexpr int kRetryCycles = 8;
constexpr int kRefusedPauseMs = 10;
constexpr int kMarkerPauseMs = 50;
constexpr int kMarkerTxLimitUs = 8000 * 50;  // same bound as the port's transmitter wait

constexpr uint8_t kMarker[] = {FRM_FLAG, 0xFF, 0x00, 0xFF, FRM_FLAG};

std::atomic<int> lnkDebug{0};

pthread_once_t lnkRxCondOnce = PTHREAD_ONCE_INIT;

void lnkRxCondCreate() {
    TMR_CondInit(&LNK_RxCond);
}

void lnkRxCondReady() {
    pthread_once(&lnkRxCondOnce, lnkRxCondCreate);
}

// Runs during static initialisation, before any thread can signal or wait.
struct LnkRxCondInit {
    LnkRxCondInit() { lnkRxCondReady(); }
} lnkRxCondInit;

// Waits for the answer to begin arriving: a timed wait on LNK_RxCond (woken
// by the receive interrupt) when the interrupt mode is on, a plain sleep
// otherwise. Any wake-up ends the wait; the outcome is not examined.
void lnkAnswerWait(int irqMs, int sleepMs) {
    if (LNK_RxIrqMode.load() != 0) {
        lnkRxCondReady();
        struct timespec deadline;
        TMR_AbsTimeMs(&deadline, irqMs);
        pthread_mutex_lock(&LNK_RxMutex);
        pthread_cond_timedwait(&LNK_RxCond, &LNK_RxMutex, &deadline);
        pthread_mutex_unlock(&LNK_RxMutex);
    } else {
        TMR_SleepMs(sleepMs);
    }
}

// An answer matches when it is a reply to the request's command and, for the
// commands that carry a sub-command, repeats the sub-command in its place.
// Without the sub-command check a late answer to an earlier request for
// another parameter of the same command (2, 5 or 38) would be decoded as
// this parameter's value and reported as success.
bool lnkMatches(int status, const uint8_t* answer, uint8_t len, const uint8_t* request) {
    if (status != ODU_OK || answer[0] != MSG_REPLY || answer[1] != request[1]) return false;
    const int messageLen = len - 2;  // without the FCS
    if (MSG_HasSub(request[1]) && messageLen > 3 && answer[3] != request[2]) return false;
    return true;
}

void lnkDump(const uint8_t* request, uint8_t n, const uint8_t* answer, uint8_t len) {
    int shownRequest = n > kBufSize ? kBufSize : n;
    int shownAnswer = len > kBufSize ? kBufSize : len;
    printf("****************************\n");
    printf("RAW PACKETS\n");
    printf("sbuf[%d]=", n);
    for (int i = 0; i < shownRequest; i++) printf("%02x ", request[i]);
    printf("\n");
    printf("rbuf[%d]=", len);
    for (int i = 0; i < shownAnswer; i++) printf("%02x ", answer[i]);
    printf("\n");
    printf("****************************\n");
}

}  // namespace

int LNK_SendFrame(const uint8_t* message, uint8_t n) {
    if (n > LNK_MAX_MESSAGE) return ODU_ERR_TOOLONG;
    uint8_t frame[kBufSize];
    memcpy(frame, message, n);
    uint8_t len = n;
    FRM_AppendFcs(frame, &len);
    FRM_Stuff(frame, &len);
    // A body full of flag and escape bytes can stuff beyond the buffer; the
    // frame codec then leaves it unstuffed, so it must not go out at all.
    if (len > kBufSize) return ODU_ERR_TOOLONG;
    PORT_FlushRx();
    PORT_PutByte(FRM_FLAG);
    for (int i = 0; i < len; i++) PORT_PutByte(frame[i]);
    PORT_PutByte(FRM_FLAG);
    PORT_StartTx();
    return ODU_OK;
}

void LNK_SendMarker() {
    for (uint8_t b : kMarker) PORT_PutByte(b);
    PORT_StartTx();
    // Bounded so that a transmitter that never reports done cannot hang the
    // caller (and with it the link lock) forever.
    TmrDeadline limit;
    TMR_DeadlineStart(&limit);
    while (PORT_TxDone() != 1) {
        if (TMR_DeadlineExpired(&limit, kMarkerTxLimitUs)) break;
    }
    TMR_SleepMs(kMarkerPauseMs);
}

int LNK_ReceiveFrame(uint8_t* answer, uint8_t* len) {
    uint8_t b = 0;
    // Hunt for the opening flag; the last of the reads is not examined.
    for (int reads = 1;; reads++) {
        if (reads == kHuntReads) {
            PORT_GetByte(&b);
            return ODU_ERR_NORESPONSE;
        }
        if (PORT_GetByte(&b) == 0 && b == FRM_FLAG) break;
    }
    // Collect up to the closing flag. A failed read stores the last byte
    // read again, so silence fills the body and ends in ODU_ERR_OVERLONG.
    // Flags with short bodies between them restart the body; the read limit
    // keeps such a stream from holding the receiver forever.
    int count = 0;
    for (int reads = 0;; reads++) {
        if (reads == kCollectReadLimit) return ODU_ERR_OVERLONG;
        int failed = PORT_GetByte(&b);
        if (failed == 0 && b == FRM_FLAG) {
            if (count >= kMinBody) break;
            count = 0;
            continue;
        }
        answer[count++] = b;
        if (count == kBufSize) return ODU_ERR_OVERLONG;
    }
    *len = static_cast<uint8_t>(count);
    FRM_Unstuff(answer, len);
    if (!FRM_CheckFcs(answer, *len)) return ODU_ERR_FCS;
    LNK_SendMarker();
    return ODU_OK;
}

int LNK_Exchange(const uint8_t* request, uint8_t n, uint8_t* answer, uint8_t* len) {
    int status = ODU_ERR_NORESPONSE;
    // The dump shows an empty answer unless a frame arrives in this exchange.
    *len = 0;
    while (!TMR_DeadlineExpired(&LNK_GapTimer, LNK_GAP_US)) {
    }
    if (n > kBufSize) {
        status = ODU_ERR_TOOLONG;
    } else {
        status = LNK_SendFrame(request, n);
        if (status != ODU_OK) {
            TMR_DeadlineStart(&LNK_GapTimer);
            return status;
        }
        if (PORT_WaitTxDone() == -1) {
            TMR_DeadlineStart(&LNK_GapTimer);
            return ODU_ERR_NORESPONSE;
        }
        lnkAnswerWait(LNK_ANSWER_WAIT_MS, LNK_ANSWER_WAIT_MS);
        status = ODU_ERR_NORESPONSE;
        for (int attempt = 0; attempt < kExchangeAttempts; attempt++) {
            int received = LNK_ReceiveFrame(answer, len);
            if (lnkMatches(received, answer, *len, request)) {
                status = ODU_OK;
                break;
            }
        }
    }
    if (LNK_DebugMode(1) == 1) lnkDump(request, n, answer, *len);
    TMR_DeadlineStart(&LNK_GapTimer);
    return status;
}

int LNK_Transact(uint8_t type, uint8_t command, uint8_t sub, const OduValue* value,
                 OduValue* result) {
    LOCK_Take(LOCK_ODU_LINK);
    uint8_t request[kBufSize];
    uint8_t requestLen = 0;
    // Zeroed: the decoder reads a value at its fixed place even when the
    // answer ends before it.
    uint8_t answer[kBufSize] = {};
    uint8_t answerLen = 0;
    int status = MSG_BuildRequest(type, command, sub, request, &requestLen, value);
    if (status == ODU_OK) {
        for (int i = 0; i < kTransactExchanges; i++) {
            status = LNK_Exchange(request, requestLen, answer, &answerLen);
            if (status == ODU_OK) break;
        }
        if (status == ODU_OK) status = MSG_DecodeResponse(command, sub, answer, answerLen, result);
    }
    LOCK_Give(LOCK_ODU_LINK);
    return status;
}

int LNK_TransactRetry(uint8_t type, uint8_t command, uint8_t sub, const OduValue* value,
                      OduValue* result) {
    LOCK_Take(LOCK_ODU_LINK);
    uint8_t request[kBufSize];
    uint8_t requestLen = 0;
    uint8_t answer[kBufSize] = {};
    uint8_t answerLen = 0;
    int status = MSG_BuildRequest(type, command, sub, request, &requestLen, value);
    if (status == ODU_OK && requestLen > kBufSize) status = ODU_ERR_TOOLONG;
    if (status != ODU_OK) {
        LOCK_Give(LOCK_ODU_LINK);
        return status;
    }
    bool matched = false;
    for (int cycle = 0; cycle < kRetryCycles && !matched; cycle++) {
        status = LNK_SendFrame(request, requestLen);
        if (status != ODU_OK) {
            TMR_SleepMs(kRefusedPauseMs);
            printf("retry=%d ", cycle);
            fflush(stdout);
            continue;
        }
        if (PORT_WaitTxDone() == -1) {
            status = ODU_ERR_NORESPONSE;
            break;
        }
        lnkAnswerWait(LNK_RETRY_IRQ_WAIT_MS, LNK_ANSWER_WAIT_MS);
        TMR_SleepMs(1);
        for (int attempt = 0; attempt < kRetryAttempts; attempt++) {
            int received = LNK_ReceiveFrame(answer, &answerLen);
            if (lnkMatches(received, answer, answerLen, request)) {
                matched = true;
                break;
            }
        }
        if (!matched) {
            LNK_SendMarker();
            status = ODU_ERR_NORESPONSE;
        }
    }
    if (matched) status = MSG_DecodeResponse(command, sub, answer, answerLen, result);
    LOCK_Give(LOCK_ODU_LINK);
    return status;
}

int LNK_DebugMode(int operation) {
    if (operation == 2) lnkDebug.store(1);
    if (operation == 0) lnkDebug.store(0);
    return lnkDebug.load();
}
