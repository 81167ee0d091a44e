// ODU parameter operations against the simulated board. Most tests run the
// answer wait in interrupt mode (woken by a stand-in for the interrupt
// thread) so that the many transactions stay short; the operations behave
// the same in both modes.
#include <memory>
#include <string>

#include "link_sim_fixture.h"
#include "odu/msg.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

using OduSim = SimBoardTest;

TEST_F(OduSim, ReadsHandOverEachParameter) {
    SIM_SetByte(2, 1, 11);
    SIM_SetByte(2, 4, 12);
    SIM_SetByte(2, 6, 13);
    SIM_SetWord(2, 7, -77);
    SIM_SetPair(2, 10, 18000001, -19000002);
    SIM_SetByte(2, 18, 14);
    SIM_SetByte(2, 19, 15);
    SIM_SetByte(2, 31, 16);
    SIM_SetByte(2, 32, 17);
    SIM_SetByte(2, 33, 18);
    SIM_SetLong(2, 34, 1010101);
    SIM_SetWord(2, 35, -21);
    SIM_SetWord(2, 37, 41);
    SIM_SetText(2, 39, "ABCDEFGHIJ", 10);  // fills the block: no zero byte in it
    SIM_SetLong(2, 41, 19700001);
    SIM_SetLong(2, 45, 19700002);
    SIM_SetLong(2, 49, 18700003);
    SIM_SetLong(2, 53, -18700004);
    SIM_SetText(2, 57, "AB", 10);
    SIM_SetByte(2, 58, 19);
    SIM_SetByte(2, 59, 'Q');
    SIM_SetByte(2, 61, 20);
    SIM_SetWord(5, 1, -3);
    SIM_SetWord(5, 2, -95);
    SIM_SetWord(5, 3, 42);
    SIM_SetTriple(5, 255, 300, -301, 302);
    SIM_SetWord(1, 0, 0x1234);
    SIM_SetByte(7, 0, 0);
    SIM_SetVersion(2, "V2.00.0001", "V2.00.0002");
    SIM_SetByte(32, 0, 43);
    SIM_SetByte(36, 0, 21);
    SIM_SetByte(37, 0, 22);
    SIM_SetByte(38, 5, 23);
    SIM_SetByte(38, 7, 24);
    RxInterruptStandIn irq;

    auto byte = [](int (*read)(uint8_t*)) {
        uint8_t v = 0xEE;
        EXPECT_EQ(ODU_OK, read(&v));
        return static_cast<int>(v);
    };
    auto word = [](int (*read)(int16_t*)) {
        int16_t v = 0x7EEE;
        EXPECT_EQ(ODU_OK, read(&v));
        return static_cast<int>(v);
    };
    auto lng = [](int (*read)(int32_t*)) {
        int32_t v = 0x7EEEEEEE;
        EXPECT_EQ(ODU_OK, read(&v));
        return v;
    };
    EXPECT_EQ(11, byte(ODU_GetOpmode));
    EXPECT_EQ(12, byte(ODU_GetTxMute));
    EXPECT_EQ(13, byte(ODU_GetAtpcOn));
    EXPECT_EQ(-77, word(ODU_GetTxPower));
    EXPECT_EQ(14, byte(ODU_GetBandwidth));
    EXPECT_EQ(15, byte(ODU_GetQam));
    EXPECT_EQ(16, byte(ODU_GetSub31));
    EXPECT_EQ(17, byte(ODU_GetRfBand));
    EXPECT_EQ(18, byte(ODU_GetHlTx));
    EXPECT_EQ(1010101, lng(ODU_GetTrSpacing));
    EXPECT_EQ(-21, word(ODU_GetTxPowerMin));
    EXPECT_EQ(41, word(ODU_GetTxPowerMax));
    EXPECT_EQ(19700001, lng(ODU_GetRxFreqMin));
    EXPECT_EQ(19700002, lng(ODU_GetRxFreqMax));
    EXPECT_EQ(18700003, lng(ODU_GetTxFreqMin));
    EXPECT_EQ(-18700004, lng(ODU_GetTxFreqMax));
    EXPECT_EQ(19, byte(ODU_GetRbw));
    EXPECT_EQ('Q', byte(ODU_GetOem));
    EXPECT_EQ(20, byte(ODU_GetSub61));
    EXPECT_EQ(-3, word(ODU_GetMeasTx));
    EXPECT_EQ(-95, word(ODU_GetMeasRsl));
    EXPECT_EQ(42, word(ODU_GetMeasTemp));
    EXPECT_EQ(0x1234, word(ODU_GetAlarm));
    EXPECT_EQ(0, byte(ODU_GetResetCause));
    EXPECT_EQ(43, byte(ODU_GetAliveCounter));
    EXPECT_EQ(21, byte(ODU_GetRpsCtrl));
    EXPECT_EQ(22, byte(ODU_GetRpsAlarm));
    EXPECT_EQ(23, byte(ODU_GetAtpcTime));
    EXPECT_EQ(24, byte(ODU_GetAliveTime));

    int32_t tx = 0;
    int32_t rx = 0;
    EXPECT_EQ(ODU_OK, ODU_GetTxRxFreq(&tx, &rx));
    EXPECT_EQ(18000001, tx);
    EXPECT_EQ(-19000002, rx);

    int16_t meas[3] = {};
    EXPECT_EQ(ODU_OK, ODU_GetMeasAll(&meas[0], &meas[1], &meas[2]));
    EXPECT_EQ(300, meas[0]);
    EXPECT_EQ(-301, meas[1]);
    EXPECT_EQ(302, meas[2]);

    char text[12];
    memset(text, 'Z', sizeof text);
    EXPECT_EQ(ODU_OK, ODU_GetTmodel(text));
    EXPECT_EQ(std::string("ABCDEFGHIJ"), std::string(text));
    EXPECT_EQ('Z', text[11]);
    memset(text, 'Z', sizeof text);
    EXPECT_EQ(ODU_OK, ODU_GetSerial(text));
    EXPECT_EQ(std::string("AB"), std::string(text));

    uint8_t block[22];
    memset(block, 0xEE, sizeof block);
    EXPECT_EQ(ODU_OK, ODU_GetVersion(block));
    EXPECT_EQ(2, block[0]);
    EXPECT_EQ("V2.00.0001V2.00.0002", std::string(block + 1, block + 21));
    EXPECT_EQ(0xEE, block[21]);  // the block is handed over without a zero byte
}

// A failed read leaves the caller's variables alone; the measurements
// report every failure as unsupported, the other reads pass it on.
struct FailedReadCase {
    const char* name;
    SimFault fault;
    int plainStatus;
};

void PrintTo(const FailedReadCase& c, std::ostream* os) {
    *os << c.name;
}

using OduFailedRead = SimBoardParamTest<FailedReadCase>;

TEST_P(OduFailedRead, MeasurementsSayUnsupportedOthersPassTheStatusOn) {
    SIM_FaultAlways(GetParam().fault);
    int16_t alarm = 555;
    EXPECT_EQ(GetParam().plainStatus, ODU_GetAlarm(&alarm));
    EXPECT_EQ(555, alarm);
    int16_t temp = 555;
    EXPECT_EQ(ODU_ERR_UNSUPPORTED, ODU_GetMeasTemp(&temp));
    EXPECT_EQ(555, temp);
    int16_t all[3] = {555, 555, 555};
    EXPECT_EQ(ODU_ERR_UNSUPPORTED, ODU_GetMeasAll(&all[0], &all[1], &all[2]));
    EXPECT_EQ(555, all[0]);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, OduFailedRead,
    testing::Values(FailedReadCase{"Silent", SIM_FAULT_SILENT, ODU_ERR_NORESPONSE},
                    FailedReadCase{"Refused", SIM_FAULT_REFUSED, ODU_ERR_REJECTED}),
    [](const testing::TestParamInfo<FailedReadCase>& i) { return i.param.name; });

// Every write goes out with its own command, sub-command and value layout;
// when the SET's answer already carries the value, nothing is read back.
struct WriteCase {
    const char* name;
    int (*write)();
    Bytes request;
};

void PrintTo(const WriteCase& c, std::ostream* os) {
    *os << c.name;
}

const WriteCase kWrites[] = {
    {"Opmode", [] { return ODU_SetOpmode(3); }, {3, 2, 1, 3}},
    {"TxMute", [] { return ODU_SetTxMute(1); }, {3, 2, 4, 1}},
    {"AtpcOn", [] { return ODU_SetAtpcOn(0); }, {3, 2, 6, 0}},
    {"TxPower", [] { return ODU_SetTxPower(-2); }, {3, 2, 7, 0xFE, 0xFF}},
    {"TxRxFreq", [] { return ODU_SetTxRxFreq(1, 258); }, {3, 2, 10, 1, 0, 0, 0, 2, 1, 0, 0}},
    {"ResetCause", [] { return ODU_SetResetCause(0); }, {3, 7, 0}},
    {"RpsCtrl", [] { return ODU_SetRpsCtrl(1); }, {3, 36, 1}},
    {"AtpcTime", [] { return ODU_SetAtpcTime(9); }, {3, 38, 5, 9}},
    {"AliveTime", [] { return ODU_SetAliveTime(31); }, {3, 38, 7, 31}},
};

using OduWrite = SimBoardParamTest<WriteCase>;

TEST_P(OduWrite, AcceptedAtOnceWithoutReadBack) {
    RxInterruptStandIn irq;
    EXPECT_EQ(ODU_OK, GetParam().write());
    EXPECT_EQ(1, SIM_MarkerCount());
    EXPECT_EQ(GetParam().request, LastRequest());
    const Bytes& r = GetParam().request;
    EXPECT_EQ(0, SIM_CountRequests(MSG_GET, r[1], MSG_HasSub(r[1]) ? r[2] : 0));
}

INSTANTIATE_TEST_SUITE_P(Writes, OduWrite, testing::ValuesIn(kWrites),
                         [](const testing::TestParamInfo<WriteCase>& i) { return i.param.name; });

// Writes whose SET answer does not show the value written. The pauses
// before the read-backs tell the paths apart: 600 ms after a completed
// transaction, 1200 ms when the read-back before still showed another value.
struct VerifiedWriteCase {
    const char* name;
    void (*before)();
    int (*write)();
    bool interruptMode;
    int status;
    int transactions;  // completed ones: the SET and the read-backs
    int readBacks;
    int longPauses;  // read-backs after a read-back that still differed
};

void PrintTo(const VerifiedWriteCase& c, std::ostream* os) {
    *os << c.name;
}

void RefuseRequests(int from, int to) {
    for (int n = from; n <= to; n++) SIM_FaultOnRequest(n, SIM_FAULT_REFUSED);
}

// Taken 1.7 s after the SET: the first read-back (after 600 ms, or after
// 1.3 s when its exchange has to be repeated) still sees the old value, the
// second (after at least 3 x 600 ms) the new one.
constexpr int kSlowApplyMs = 1700;

const VerifiedWriteCase kVerifiedWrites[] = {
    {"OpmodeOnSecondReadBack",
     [] {
         SIM_SetByte(2, 1, 1);
         SIM_SetSetApplyDelayMs(kSlowApplyMs);
     },
     [] { return ODU_SetOpmode(3); }, true, ODU_OK, 3, 2, 1},
    {"TxPowerOnSecondReadBack",
     [] {
         SIM_SetWord(2, 7, 30);
         SIM_SetSetApplyDelayMs(kSlowApplyMs);
     },
     [] { return ODU_SetTxPower(-2); }, true, ODU_OK, 3, 2, 1},
    // The answer already shows the new transmit frequency but the old
    // receive frequency: that is not yet the value written.
    {"TxRxFreqReceiveSideLate",
     [] {
         SIM_SetPair(2, 10, 5000, 6000);
         SIM_SetSetApplyDelayMs(kSlowApplyMs);
     },
     [] { return ODU_SetTxRxFreq(5000, 7000); }, true, ODU_OK, 3, 2, 1},
    {"NeverTaken", [] { SIM_SetSetApplyDelayMs(-1); }, [] { return ODU_SetOpmode(3); }, true,
     ODU_ERR_VERIFY, 5, 4, 3},
    // The last read-back's own failure is the result, and a failed
    // read-back adds no pause. (Polled mode: the request numbers must not
    // shift.)
    {"ReadBacksRefused",
     [] {
         SIM_SetSetApplyDelayMs(-1);
         RefuseRequests(2, 9);
     },
     [] { return ODU_SetOpmode(3); }, false, ODU_ERR_REJECTED, 5, 4, 0},
    {"SetRefused", [] { SIM_FaultAlways(SIM_FAULT_REFUSED); }, [] { return ODU_SetTxPower(5); },
     true, ODU_ERR_REJECTED, 1, 0, 0},
    // The reset cause compares the SET's answer only.
    {"ResetCauseDiffers", [] { SIM_SetSetApplyDelayMs(-1); }, [] { return ODU_SetResetCause(0); },
     true, ODU_ERR_VERIFY, 1, 0, 0},
};

using OduVerifiedWrite = SimBoardParamTest<VerifiedWriteCase>;

TEST_P(OduVerifiedWrite, StatusReadBacksAndPauses) {
    const VerifiedWriteCase& c = GetParam();
    c.before();
    std::unique_ptr<RxInterruptStandIn> irq;
    if (c.interruptMode) irq = std::make_unique<RxInterruptStandIn>();
    EXPECT_EQ(c.status, c.write());
    irq.reset();
    EXPECT_EQ(c.transactions, SIM_MarkerCount());
    std::vector<int64_t> pauses = PausesBeforeRequestsUs();
    ASSERT_EQ(static_cast<size_t>(c.readBacks), pauses.size());
    int longPauses = 0;
    for (int64_t p : pauses) {
        EXPECT_GE(p, 600000);
        if (p >= 1200000) {
            longPauses++;
        } else {
            EXPECT_LT(p, 1150000);
        }
    }
    EXPECT_EQ(c.longPauses, longPauses);
}

INSTANTIATE_TEST_SUITE_P(Writes, OduVerifiedWrite, testing::ValuesIn(kVerifiedWrites),
                         [](const testing::TestParamInfo<VerifiedWriteCase>& i) {
                             return i.param.name;
                         });

// Writes that poll the matching read every 50 ms, at most 51 times.
struct PolledWriteCase {
    const char* name;
    void (*before)();
    int (*write)();
    int status;
    int minTransactions;  // completed ones: the SET and the polls
    int maxTransactions;
};

void PrintTo(const PolledWriteCase& c, std::ostream* os) {
    *os << c.name;
}

const PolledWriteCase kPolledWrites[] = {
    {"TakenAfterAWhile", [] { SIM_SetSetApplyDelayMs(300); }, [] { return ODU_SetQam(64); }, ODU_OK,
     2, 12},
    // The ODU keeps its old value but answers every poll: still ODU_OK.
    {"NeverReported", [] { SIM_SetSetApplyDelayMs(-1); }, [] { return ODU_SetBandwidth(56); },
     ODU_OK, 52, 52},
    {"PollsRefused", [] { RefuseRequests(2, 64); }, [] { return ODU_SetQam(64); }, ODU_ERR_REJECTED,
     52, 52},
    {"SetRefused", [] { SIM_FaultAlways(SIM_FAULT_REFUSED); }, [] { return ODU_SetQam(64); },
     ODU_ERR_REJECTED, 1, 1},
};

using OduPolledWrite = SimBoardParamTest<PolledWriteCase>;

TEST_P(OduPolledWrite, StatusAndPolls) {
    const PolledWriteCase& c = GetParam();
    c.before();
    RxInterruptStandIn irq;
    EXPECT_EQ(c.status, c.write());
    EXPECT_GE(SIM_MarkerCount(), c.minTransactions);
    EXPECT_LE(SIM_MarkerCount(), c.maxTransactions);
}

INSTANTIATE_TEST_SUITE_P(Writes, OduPolledWrite, testing::ValuesIn(kPolledWrites),
                         [](const testing::TestParamInfo<PolledWriteCase>& i) {
                             return i.param.name;
                         });

TEST_F(OduSim, SendTextRefusesWhatThePayloadCannotHold) {
    for (int n : {200, 128, 127}) {
        SCOPED_TRACE(n);
        std::string text(n, 'x');
        CaptureStdout();
        EXPECT_EQ(ODU_ERR_TOOLONG, ODU_SendText(text.c_str()));
        EXPECT_EQ("", GetCapturedStdout());
    }
    EXPECT_EQ(0, SIM_AccessCount());

    EXPECT_EQ(ODU_OK, ODU_SendText("S7"));
    ASSERT_EQ(1, SIM_TextCount());
    char got[16] = {};
    SIM_GetText(0, got, sizeof got);
    EXPECT_EQ(std::string("S7"), got);
    EXPECT_EQ((Bytes{3, 3, 'S', '7'}), LastRequest());
}

TEST_F(OduSim, PrintVersionShowsBothBanksAndTheActiveOne) {
    uint8_t block[21];
    block[0] = 200;
    memcpy(block + 1, "V1.00.0001", 10);
    memcpy(block + 11, "AB\0\0\0\0\0\0\0\0", 10);
    CaptureStdout();
    ODU_PrintVersion(block);
    EXPECT_EQ("Version: bank1:<V1.00.0001>  bank2:<AB>\nActive: bank200\n", GetCapturedStdout());
}

TEST_F(OduSim, UploadOfAMissingFileOnlyReadsTheVersion) {
    CaptureStdout();
    EXPECT_EQ(ODU_OK, ODU_Upload("/nonexistent/upload.txt"));
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_EQ(1, SIM_RequestCount());
    EXPECT_EQ(1, SIM_CountRequests(MSG_GET, ODU_CMD_VERSION, 0));
}

}  // namespace
