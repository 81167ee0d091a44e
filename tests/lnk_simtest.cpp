// Link transactions against the simulated board: the wire trace, the model
// ODU's counters and the register log are the witnesses.
#include <string>

#include "hw/port.h"
#include "link_sim_fixture.h"
#include "odu/msg.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr int32_t kUntouched = 99;  // kind of a result record nobody wrote

OduValue Untouched() {
    OduValue v{};
    v.kind = kUntouched;
    return v;
}

OduValue Text(const std::string& s) {
    OduValue v{};
    v.kind = VK_TEXT;
    memcpy(v.payload.b, s.data(), s.size());
    return v;
}

const Bytes kWorkedRequest = {0x7E, 0x02, 0x02, 0x01, 0x4D, 0x51, 0x7E};
const Bytes kWorkedAnswer = {0x7E, 0x01, 0x02, 0x00, 0x01, 0x05, 0x30, 0xB3, 0x7E};

using LinkSim = SimBoardTest;

TEST_F(LinkSim, WorkedExampleGoesOutAndComesBackByteForByte) {
    SIM_SetByte(2, 1, 5);
    OduValue v = Untouched();
    int64_t start = SIM_NowUs();
    ASSERT_EQ(ODU_OK, LNK_Transact(MSG_GET, 2, 1, nullptr, &v));
    int64_t end = SIM_NowUs();
    EXPECT_EQ(VK_BYTE, v.kind);
    EXPECT_EQ(5, v.payload.b[0]);

    auto t = WireTrace();
    ASSERT_EQ(3u, t.size());
    EXPECT_EQ(SIM_IDU_TO_ODU, t[0].dir);
    EXPECT_EQ(kWorkedRequest, t[0].bytes);
    EXPECT_EQ(SIM_ODU_TO_IDU, t[1].dir);
    EXPECT_EQ(kWorkedAnswer, t[1].bytes);
    EXPECT_EQ(SIM_IDU_TO_ODU, t[2].dir);
    EXPECT_EQ(kMarkerFrame, t[2].bytes);
    EXPECT_EQ(2, SIM_RegWrites(PORT_TXSTART));  // the request and the marker

    // The first exchange of a process does not wait for the gap.
    EXPECT_LT(t[0].firstUs - start, 40000);
    // The answer is read only after the 500 ms answer wait, and the marker
    // is followed by its 50 ms pause.
    EXPECT_GE(t[2].firstUs - t[0].lastUs, 500000);
    EXPECT_GE(end - t[2].lastUs, 50000);
    EXPECT_LT(end - start, 550000 + 200000);
}

TEST_F(LinkSim, NextExchangeWaitsForTheGap) {
    OduValue v{};
    ASSERT_EQ(ODU_OK, LNK_Transact(MSG_GET, 2, 1, nullptr, &v));
    int64_t firstReturned = SIM_NowUs();
    ASSERT_EQ(ODU_OK, LNK_Transact(MSG_GET, 2, 4, nullptr, &v));
    auto t = WireTrace();
    ASSERT_EQ(6u, t.size());
    EXPECT_GE(t[3].firstUs - firstReturned, 49000);
    EXPECT_LT(t[3].firstUs - firstReturned, 50000 + 60000);
}

TEST_F(LinkSim, DebugDumpShowsRawPacketsAndAnHonestEmptyAnswer) {
    EXPECT_EQ(1, LNK_DebugMode(2));
    EXPECT_EQ(1, LNK_DebugMode(1));
    EXPECT_EQ(1, LNK_DebugMode(7));
    SIM_SetByte(2, 1, 5);
    OduValue v{};
    CaptureStdout();
    ASSERT_EQ(ODU_OK, LNK_Transact(MSG_GET, 2, 1, nullptr, &v));
    EXPECT_EQ(
        "****************************\n"
        "RAW PACKETS\n"
        "sbuf[3]=02 02 01 \n"
        "rbuf[7]=01 02 00 01 05 30 b3 \n"
        "****************************\n",
        GetCapturedStdout());

    // Nothing received: the answer line is empty whatever the caller's
    // buffer and length held before.
    SIM_FaultAlways(SIM_FAULT_SILENT);
    const uint8_t request[] = {2, 2, 1};
    uint8_t answer[128];
    memset(answer, 0xAA, sizeof answer);
    uint8_t len = 200;
    CaptureStdout();
    EXPECT_EQ(ODU_ERR_NORESPONSE, LNK_Exchange(request, 3, answer, &len));
    EXPECT_EQ(
        "****************************\n"
        "RAW PACKETS\n"
        "sbuf[3]=02 02 01 \n"
        "rbuf[0]=\n"
        "****************************\n",
        GetCapturedStdout());

    EXPECT_EQ(0, LNK_DebugMode(0));
    EXPECT_EQ(0, LNK_DebugMode(1));
    CaptureStdout();
    EXPECT_EQ(ODU_ERR_NORESPONSE, LNK_Exchange(request, 3, answer, &len));
    EXPECT_EQ("", GetCapturedStdout());
}

// One GET of command 2, sub-command 1 under a fault the model ODU applies to
// every request: the status that reaches the caller, how many requests went
// out and how many marker frames followed good frames.
struct FaultCase {
    const char* name;
    SimFault fault;
    int garbageBytes;
    bool valueMissing;  // the ODU answers without the value
    int status;
    int requests;
    int markers;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

const FaultCase kFaultCases[] = {
    {"Silent", SIM_FAULT_SILENT, 0, false, ODU_ERR_NORESPONSE, 4, 0},
    {"BadFcs", SIM_FAULT_BAD_FCS, 0, false, ODU_ERR_NORESPONSE, 4, 0},
    {"WrongCommand", SIM_FAULT_WRONG_COMMAND, 0, false, ODU_ERR_NORESPONSE, 4, 4},
    {"NotReply", SIM_FAULT_NOT_REPLY, 0, false, ODU_ERR_NORESPONSE, 4, 4},
    {"Refused", SIM_FAULT_REFUSED, 0, false, ODU_ERR_REJECTED, 1, 1},
    {"ValueMissing", SIM_FAULT_NONE, 0, true, ODU_ERR_SHORT, 1, 1},
    {"NoClosingFlag", SIM_FAULT_NO_CLOSING_FLAG, 0, false, ODU_ERR_NORESPONSE, 4, 0},
    {"FlagStorm", SIM_FAULT_FLAG_STORM, 0, false, ODU_ERR_NORESPONSE, 4, 0},
    {"TxStuck", SIM_FAULT_TX_STUCK, 0, false, ODU_ERR_NORESPONSE, 4, 0},
    {"TxFull", SIM_FAULT_TX_FULL, 0, false, ODU_ERR_NORESPONSE, 4, 0},
    // The flag hunt examines 11 reads: a flag in the 11th is found, one in
    // the 12th is swallowed and the frame is lost for the whole exchange.
    {"Garbage10", SIM_FAULT_GARBAGE, 10, false, ODU_OK, 1, 1},
    {"Garbage11", SIM_FAULT_GARBAGE, 11, false, ODU_ERR_NORESPONSE, 4, 0},
    {"Garbage20", SIM_FAULT_GARBAGE, 20, false, ODU_OK, 1, 1},
};

using LinkFault = SimBoardParamTest<FaultCase>;

TEST_P(LinkFault, StatusRequestsAndMarkers) {
    const FaultCase& c = GetParam();
    if (c.garbageBytes > 0) SIM_SetGarbageBytes(c.garbageBytes);
    SIM_SetByte(2, 1, 7);
    if (c.valueMissing) SIM_SetParam(2, 1, nullptr, 0);
    SIM_FaultAlways(c.fault);
    OduValue v = Untouched();
    EXPECT_EQ(c.status, LNK_Transact(MSG_GET, 2, 1, nullptr, &v));
    EXPECT_EQ(c.requests, SIM_RequestCount());
    EXPECT_EQ(c.markers, SIM_MarkerCount());
    if (c.status == ODU_OK) {
        EXPECT_EQ(7, v.payload.b[0]);
    } else {
        EXPECT_EQ(kUntouched, v.kind);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, LinkFault, testing::ValuesIn(kFaultCases),
                         [](const testing::TestParamInfo<FaultCase>& i) { return i.param.name; });

// Good frames that do not match are each confirmed and skipped; a match on
// the last of the 8 receive attempts still counts.
using LinkMatch = SimBoardParamTest<int>;

TEST_P(LinkMatch, NonMatchingFramesBeforeTheAnswer) {
    int wrong = GetParam();
    Bytes prefix;
    for (int i = 0; i < wrong; i++) {
        Bytes f = Frame({0x01, 0x03, 0x00, 0x01, 0x05});  // answer to another command
        prefix.insert(prefix.end(), f.begin(), f.end());
    }
    SIM_PrefixNextAnswer(prefix.data(), static_cast<int>(prefix.size()));
    SIM_SetByte(2, 1, 9);
    OduValue v{};
    EXPECT_EQ(ODU_OK, LNK_Transact(MSG_GET, 2, 1, nullptr, &v));
    EXPECT_EQ(9, v.payload.b[0]);
    if (wrong == 7) {
        EXPECT_EQ(1, SIM_RequestCount());
        EXPECT_EQ(8, SIM_MarkerCount());
    } else {  // the answer would be the 9th frame: the next exchange gets it
        EXPECT_EQ(2, SIM_RequestCount());
        EXPECT_EQ(9, SIM_MarkerCount());
    }
}

INSTANTIATE_TEST_SUITE_P(Attempts, LinkMatch, testing::Values(7, 8));

// A late answer to an earlier request for another parameter of the same
// command must not be taken as this parameter's value: it is confirmed with
// the marker frame and skipped like any other answer that does not match.
TEST_F(LinkSim, LateAnswerForAnotherSubCommandIsSkipped) {
    Bytes stale = Frame({0x01, 0x02, 0x00, 0x04, 0x11});  // answer to GET 2/4
    SIM_PrefixNextAnswer(stale.data(), static_cast<int>(stale.size()));
    SIM_SetByte(2, 1, 0x22);
    OduValue v{};
    EXPECT_EQ(ODU_OK, LNK_Transact(MSG_GET, 2, 1, nullptr, &v));
    EXPECT_EQ(0x22, v.payload.b[0]);
    EXPECT_EQ(1, SIM_RequestCount());
    EXPECT_EQ(2, SIM_MarkerCount());
}

// The same late answer as the only frame: the transaction fails rather than
// report another parameter's value.
TEST_F(LinkSim, OnlyAnAnswerForAnotherSubCommandIsNoAnswer) {
    Bytes stale = Frame({0x01, 0x02, 0x00, 0x04, 0x11});
    SIM_FaultAlways(SIM_FAULT_SILENT);
    SIM_ScheduleRx(kPolledAnswerDelayUs, stale.data(), static_cast<int>(stale.size()));
    OduValue v{};
    v.kind = 99;
    EXPECT_EQ(ODU_ERR_NORESPONSE, LNK_Transact(MSG_GET, 2, 1, nullptr, &v));
    EXPECT_EQ(99, v.kind);
    EXPECT_EQ(1, SIM_MarkerCount());
}

// The receive step on its own, fed straight into the receive FIFO.
struct ReceiveCase {
    const char* name;
    Bytes stream;
    int status;
    int len;  // expected answer length; -1: left as it was
    int markers;
    Bytes message;  // expected start of the answer buffer
};

void PrintTo(const ReceiveCase& c, std::ostream* os) {
    *os << c.name;
}

Bytes Storm(int n) {
    const uint8_t pattern[] = {0x7E, 0x7E, 0x55, 0x7E, 0x55, 0x55};
    Bytes b;
    for (int i = 0; i < n; i++) b.push_back(pattern[i % 6]);
    return b;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes BadFcs(Bytes f) {
    f[f.size() - 2] ^= 0x01;
    return f;
}

const Bytes kWorkedMessage = {0x01, 0x02, 0x00, 0x01, 0x05, 0x30, 0xB3};

const ReceiveCase kReceiveCases[] = {
    {"GoodFrame", kWorkedAnswer, ODU_OK, 7, 1, kWorkedMessage},
    {"StuffedValue",
     Frame({0x01, 0x02, 0x00, 0x01, 0x7E}),
     ODU_OK,
     7,
     1,
     {0x01, 0x02, 0x00, 0x01, 0x7E}},
    {"ShortBodiesRestart", Concat({0x7E, 0x7E, 0x11, 0x7E, 0x11, 0x22}, kWorkedAnswer), ODU_OK, 7,
     1, kWorkedMessage},
    {"BadFcs", BadFcs(kWorkedAnswer), ODU_ERR_FCS, 7, 0, {}},
    {"Nothing", {}, ODU_ERR_NORESPONSE, -1, 0, {}},
    {"NoClosingFlag", {0x7E, 0x01, 0x02, 0x00, 0x01, 0x05}, ODU_ERR_OVERLONG, -1, 0, {}},
    {"EndlessShortBodies", Storm(3000), ODU_ERR_OVERLONG, -1, 0, {}},
};

using LinkReceive = SimBoardParamTest<ReceiveCase>;

TEST_P(LinkReceive, Status) {
    const ReceiveCase& c = GetParam();
    if (!c.stream.empty()) SIM_InjectRx(c.stream.data(), static_cast<int>(c.stream.size()));
    uint8_t answer[128] = {};
    uint8_t len = 99;
    EXPECT_EQ(c.status, LNK_ReceiveFrame(answer, &len));
    EXPECT_EQ(c.len < 0 ? 99 : c.len, len);
    EXPECT_EQ(c.markers, SIM_MarkerCount());
    EXPECT_EQ(c.message, Bytes(answer, answer + c.message.size()));
    // A stream of flags with short bodies between them does not hold the
    // receiver: it gives up after a bounded number of reads.
    if (c.stream.size() > 1000) {
        EXPECT_GT(SIM_RxPending(), 2000);
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, LinkReceive, testing::ValuesIn(kReceiveCases),
                         [](const testing::TestParamInfo<ReceiveCase>& i) { return i.param.name; });

TEST_F(LinkSim, SendFrameRefusesWhatDoesNotFitAndTouchesNothing) {
    struct {
        int n;
        uint8_t fill;
        int status;
    } cases[] = {
        {107, 0x41, ODU_OK},
        {108, 0x41, ODU_ERR_TOOLONG},
        {62, 0x7E, ODU_OK},           // stuffs to at most 128 bytes
        {64, 0x7E, ODU_ERR_TOOLONG},  // would stuff beyond the 128-byte frame
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        SIM_Reset();
        Bytes msg(c.n, c.fill);
        EXPECT_EQ(c.status, LNK_SendFrame(msg.data(), static_cast<uint8_t>(c.n)));
        if (c.status == ODU_OK) {
            ASSERT_EQ(1, SIM_RequestCount());
            EXPECT_EQ(msg, LastRequest());
        } else {
            EXPECT_EQ(0, SIM_AccessCount());
        }
    }
}

TEST_F(LinkSim, RequestTooLongForAFrameIsRefusedWithoutSending) {
    OduValue text = Text(std::string(106, 'x'));  // request of 108 bytes
    CaptureStdout();
    int64_t start = SIM_NowUs();
    EXPECT_EQ(ODU_ERR_TOOLONG, LNK_Transact(MSG_SET, 3, 0, &text, nullptr));
    int64_t transactUs = SIM_NowUs() - start;
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_GE(transactUs, 3 * 50000 - 1000);  // four refused exchanges, gaps between

    CaptureStdout();
    start = SIM_NowUs();
    EXPECT_EQ(ODU_ERR_TOOLONG, LNK_TransactRetry(MSG_SET, 3, 0, &text, nullptr));
    int64_t retryUs = SIM_NowUs() - start;
    EXPECT_EQ("retry=0 retry=1 retry=2 retry=3 retry=4 retry=5 retry=6 retry=7 ",
              GetCapturedStdout());
    EXPECT_GE(retryUs, 8 * 10000);
    EXPECT_EQ(0, SIM_RegWrites(PORT_TXSTART));
}

TEST_F(LinkSim, OtherMessageTypesAreRefusedWithoutTouchingThePort) {
    for (uint8_t type : {uint8_t{1}, uint8_t{4}}) {
        OduValue v = Untouched();
        EXPECT_EQ(ODU_ERR_MSGTYPE, LNK_Transact(type, 2, 1, nullptr, &v));
        EXPECT_EQ(ODU_ERR_MSGTYPE, LNK_TransactRetry(type, 2, 1, nullptr, &v));
        EXPECT_EQ(kUntouched, v.kind);
        ExpectLinkLockFree();
    }
    EXPECT_EQ(0, SIM_AccessCount());
}

TEST_F(LinkSim, RetryAgainstSilentOduSendsEightTimesQuietly) {
    SIM_FaultAlways(SIM_FAULT_SILENT);
    OduValue text = Text("S7");
    CaptureStdout();
    int64_t start = SIM_NowUs();
    EXPECT_EQ(ODU_ERR_NORESPONSE, LNK_TransactRetry(MSG_SET, 3, 0, &text, nullptr));
    int64_t took = SIM_NowUs() - start;
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_EQ(8, SIM_RequestCount());
    EXPECT_EQ(8, SIM_MarkerCount());  // each cycle ends with one
    EXPECT_GE(took, 8 * (500000 + 1000 + 50000));
}

TEST_F(LinkSim, RetryResendsAfterAnUnansweredCycle) {
    SIM_SetWord(2, 7, -7);
    SIM_FaultOnRequest(1, SIM_FAULT_SILENT);
    OduValue v{};
    EXPECT_EQ(ODU_OK, LNK_TransactRetry(MSG_GET, 2, 7, nullptr, &v));
    EXPECT_EQ(VK_WORD, v.kind);
    EXPECT_EQ(-7, v.payload.w);
    EXPECT_EQ(2, SIM_RequestCount());
    EXPECT_EQ(2, SIM_MarkerCount());  // end of the silent cycle, then the good answer
}

TEST_F(LinkSim, RetryStopsAtOnceWhenTheTransmitterHangs) {
    SIM_FaultAlways(SIM_FAULT_TX_STUCK);
    EXPECT_EQ(ODU_ERR_NORESPONSE, LNK_TransactRetry(MSG_GET, 2, 1, nullptr, nullptr));
    EXPECT_EQ(1, SIM_RequestCount());
}

TEST_F(LinkSim, MarkerWaitForAHungTransmitterIsBounded) {
    SIM_FaultAlways(SIM_FAULT_TX_STUCK);
    int64_t start = SIM_NowUs();
    LNK_SendMarker();
    int64_t took = SIM_NowUs() - start;
    EXPECT_GE(took, 400000 + 50000);
    EXPECT_LT(took, 400000 + 50000 + 400000);
}

TEST_F(LinkSim, InterruptEndsTheAnswerWaitEarly) {
    RxInterruptStandIn irq;
    OduValue v{};
    EXPECT_EQ(ODU_OK, LNK_Transact(MSG_GET, 2, 1, nullptr, &v));
    // From the end of the request that drew the answer to the marker that
    // confirmed it: well under the 500 ms the wait would otherwise last.
    auto t = WireTrace();
    ASSERT_GE(t.size(), 3u);
    const TraceEntry& request = t[t.size() - 3];
    EXPECT_EQ(kMarkerFrame, t.back().bytes);
    EXPECT_LT(t.back().firstUs - request.lastUs, kIrqAnswerDelayUs + 300000);
}

TEST_F(LinkSim, InterruptModeWithoutSignalWaitsTheFullTime) {
    LNK_RxIrqMode = 1;
    OduValue v{};
    EXPECT_EQ(ODU_OK, LNK_Transact(MSG_GET, 2, 1, nullptr, &v));
    LNK_RxIrqMode = 0;
    auto t = WireTrace();
    ASSERT_EQ(3u, t.size());
    EXPECT_GE(t[2].firstUs - t[0].lastUs, 500000);
}

}  // namespace
