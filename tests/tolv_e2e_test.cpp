// End-to-end tests of the shipped tolv binary, started on the simulated
// board by the odusim runner: one row per keyword with the simulated ODU's
// value and the exact report, plus the failure and usage paths.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct TolvRun {
    std::string out;  // standard output without the runtime threads' start lines
    std::vector<std::string> started;
    int status = -1;  // exit status, -1 if it did not exit normally
};

std::string BuildDir() {
    const char* d = getenv("ODU_BUILD_DIR");
    return d != nullptr ? d : ".";
}

// Splits the emulator command the cross build runs its programs with.
std::vector<std::string> Words(const char* s) {
    std::vector<std::string> w;
    std::istringstream in(s != nullptr ? s : "");
    for (std::string t; in >> t;) w.push_back(t);
    return w;
}

TolvRun Tolv(const std::vector<std::string>& sim, const std::vector<std::string>& args) {
    std::vector<std::string> argv = Words(getenv("ODUSIM_EMULATOR"));
    argv.push_back(BuildDir() + "/sim/odusim");
    for (const std::string& line : sim) {
        argv.push_back("--set");
        argv.push_back(line);
    }
    argv.push_back("--");
    argv.push_back(BuildDir() + "/tolv/tolv");
    argv.insert(argv.end(), args.begin(), args.end());

    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> cargv;
        for (std::string& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    close(fds[1]);
    std::string raw;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) raw.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);

    TolvRun r;
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    // The runtime threads announce themselves from their own threads, so
    // their lines may fall anywhere between the report's lines.
    for (size_t pos = 0; pos < raw.size();) {
        size_t end = raw.find('\n', pos);
        end = end == std::string::npos ? raw.size() : end + 1;
        std::string line = raw.substr(pos, end - pos);
        if (line == "SYS_EVT_Process started\n" || line == "TQ_Exec started\n") {
            r.started.push_back(line);
        } else {
            r.out += line;
        }
        pos = end;
    }
    return r;
}

const char kUsage[] =
    "Syntax: tolv\n"
    "        tolv <Opmode, TxMute, AtpcOn, TxPower, TxRxFreq, Bandwidth,\n"
    "              QAM, Rfband, HLTx, TrSpacing, TxPowerMin, TxPowerMax, tmodel\n"
    "              RXFreqMin, RXFreqMax, TXFreqMin, TXFreqMax, Serial, RBW, OEM>\n"
    "              <Meas <all|tx|rsl|temp>\n"
    "              <Ver, Alarm, Reset, Alive, RpsCtrl, RpsAlarm, AtpcTime, AliveTime>\n";

struct Row {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> sim;  // configuration lines of the simulated ODU
    const char* expected;
};

std::ostream& operator<<(std::ostream& os, const Row& r) { return os << r.name; }

const Row kRows[] = {
    {"Opmode", {"OPMODE"}, {"param 2 1 byte 255"}, "Opmode: 255\n"},
    {"OpmodeMixedCase", {"OpMode"}, {"param 2 1 byte 3"}, "Opmode: 3\n"},
    {"TxMute", {"txmute"}, {"param 2 4 byte 1"}, "TxMute: 1\n"},
    {"AtpcOn", {"ATPCON"}, {"param 2 6 byte 0"}, "Atpcon: 0\n"},
    {"TxPowerNegative", {"TXPOWER"}, {"param 2 7 word -7"}, "txpower: -3.500000\n"},
    {"TxPowerPositive", {"TXPOWER"}, {"param 2 7 word 35"}, "txpower: 17.500000\n"},
    {"TxRxFreq", {"TXRXFREQ"}, {"param 2 10 pair 23002000 -5"}, "TxFreq:23002000 RxFreq:-5\n"},
    {"Bandwidth", {"BANDWIDTH"}, {"param 2 18 byte 28"}, "Bandwidth: 28\n"},
    {"Qam", {"QAM"}, {"param 2 19 byte 10"}, "QAM: 0A\n"},
    {"RfBand", {"RFBAND"}, {"param 2 32 byte 23"}, "rfband: 17\n"},
    {"HlTx", {"HLTX"}, {"param 2 33 byte 1"}, "hltx : 1\n"},
    {"TrSpacing", {"TRSPACING"}, {"param 2 34 long -1008000"}, "trspacing: -1008000\n"},
    {"TxPowerMin", {"TXPOWERMIN"}, {"param 2 35 word -21"}, "txpowermin: -10.500000\n"},
    {"TxPowerMax", {"TXPOWERMAX"}, {"param 2 37 word 61"}, "txpowermax: 30.500000\n"},
    {"TmodelShort", {"TMODEL"}, {"param 2 39 text AB 10"},
     "tmodel: <AB>\nThe content of tmodel in hex: 41 42 0 0 0 0 0 0 0 0 \n"},
    {"TmodelFull", {"tmodel"}, {"param 2 39 text ODU-23GHZX 10"},
     "tmodel: <ODU-23GHZX>\nThe content of tmodel in hex: 4F 44 55 2D 32 33 47 48 5A 58 \n"},
    {"RxFreqMin", {"RXFREQMIN"}, {"param 2 41 long 21200000"}, "rxfreqmin: 21200000\n"},
    {"RxFreqMax", {"RXFREQMAX"}, {"param 2 45 long 21800000"}, "rxfreqmax: 21800000\n"},
    {"TxFreqMin", {"TXFREQMIN"}, {"param 2 49 long 22200000"}, "txfreqmin: 22200000\n"},
    {"TxFreqMax", {"TXFREQMAX"}, {"param 2 53 long 2147483647"}, "txfreqmax: 2147483647\n"},
    {"Serial", {"SERIAL"}, {"param 2 57 text SN00012345 10"}, "serial: <SN00012345>\n"},
    {"Rbw", {"RBW"}, {"param 2 58 byte 7"}, "RBW: 7\n"},
    {"Oem", {"OEM"}, {"param 2 59 byte 65"}, "OEM: A\n"},
    {"Version", {"VER"}, {"param 8 0 version 2 V1.00.0001 V2.10.0003"},
     "Version: bank1:<V1.00.0001>  bank2:<V2.10.0003>\nActive: bank2\n"},
    {"Alarm", {"ALARM"}, {"param 1 0 word 261"},
     "TxPowDeg, CabAttAdj, Cable, Lockout, PowAlm, IfSyn, TxPowAlm, TxSyn, RxSyn: 0105\n"},
    {"AlarmBit15", {"alarm"}, {"param 1 0 hex 01 80"},
     "TxPowDeg, CabAttAdj, Cable, Lockout, PowAlm, IfSyn, TxPowAlm, TxSyn, RxSyn: FFFF8001\n"},
    {"Reset", {"RESET"}, {"param 7 0 byte 1"}, "Reset (0: SW; 1: PU): 1\n"},
    {"Alive", {"ALIVE"}, {"param 32 0 byte 200"}, "Alive counter: 200\n"},
    {"RpsCtrl", {"RPSCTRL"}, {"param 36 0 byte 3"}, "RSPControl: 03\n"},
    {"RpsAlarm", {"RPSALARM"}, {"param 37 0 byte 127"},
     "TxPowDeg, CabAttAdj, CabAlm, IfSyn, TxPowFail, TxSyn, RxSyn: 7F\n"},
    {"AtpcTime", {"ATPCTIME"}, {"param 38 5 byte 12"}, "AtpcTime: 12\n"},
    {"AliveTime", {"ALIVETIME"}, {"param 38 7 byte 30"}, "AliveTime: 30\n"},
    {"MeasAll", {"MEAS", "ALL"}, {"param 5 255 triple 40 -101 23"}, "Tx: 20.0 RSL: -50.5 Temp: 23\n"},
    {"MeasTx", {"MEAS", "TX"}, {"param 5 1 word 40"}, "Tx: 20.0 \n"},
    {"MeasRsl", {"Meas", "rsl"}, {"param 5 2 word -101"}, "RSL: -50.5 \n"},
    {"MeasTemp", {"meas", "temp"}, {"param 5 3 word -5"}, "Temp: -5\n"},
    {"ExtraArgumentsIgnored", {"QAM", "extra", "words"}, {"param 2 19 byte 255"}, "QAM: FF\n"},
};

class TolvReport : public testing::TestWithParam<Row> {};

TEST_P(TolvReport, PrintsExactLineAndExitsZero) {
    const Row& row = GetParam();
    TolvRun r = Tolv(row.sim, row.args);
    EXPECT_EQ(r.out, row.expected);
    EXPECT_EQ(r.status, 0);
    // Both runtime threads are up long before a transaction ends.
    EXPECT_EQ(r.started.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Keywords, TolvReport, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& i) { return std::string(i.param.name); });

struct Outcome {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> sim;
    const char* expected;
    int status;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) { return os << o.name; }

const Outcome kOutcomes[] = {
    {"SilentOdu", {"TXPOWER"}, {"fault silent"}, "tolv failed\n", 0},
    {"RefusedRequest", {"OPMODE"}, {"fault refused"}, "tolv failed\n", 0},
    {"MeasOfSilentOdu", {"MEAS", "TEMP"}, {"fault silent"}, "tolv failed\n", 0},
    {"NoKeyword", {}, {}, kUsage, 255},
    {"UnknownKeyword", {"FOO"}, {}, kUsage, 255},
    {"KeywordPrefixIsNotAKeyword", {"TXPOW"}, {}, kUsage, 255},
    {"UnknownMeasurement", {"MEAS", "FOO"}, {}, "", 0},
    {"MeasWithoutSecondKeyword", {"MEAS"}, {}, kUsage, 255},
};

class TolvOutcome : public testing::TestWithParam<Outcome> {};

TEST_P(TolvOutcome, ReportsAndExitStatus) {
    const Outcome& o = GetParam();
    TolvRun r = Tolv(o.sim, o.args);
    EXPECT_EQ(r.out, o.expected);
    EXPECT_EQ(r.status, o.status);
}

INSTANTIATE_TEST_SUITE_P(Paths, TolvOutcome, testing::ValuesIn(kOutcomes),
                         [](const testing::TestParamInfo<Outcome>& i) { return std::string(i.param.name); });

}  // namespace
