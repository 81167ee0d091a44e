// tolv: reads one ODU parameter named on the command line and prints it as
// a fixed-format report line.
//
//   tolv KEYWORD
//   tolv MEAS SUBKEYWORD
//
// Exit status: 0 for every known keyword (whether the read worked or not),
// -1 (255 to the shell) when no keyword is given or it is not known.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "odu/odu.h"
#include "rt/lock.h"
#include "rt/sys_evt.h"
#include "rt/tq.h"

namespace {

const char kUsage[] =
    "tolv\n"
    "        tolv <Opmode, TxMute, AtpcOn, TxPower, TxRxFreq, Bandwidth,\n"
    "              QAM, Rfband, HLTx, TrSpacing, TxPowerMin, TxPowerMax, tmodel\n"
    "              RXFreqMin, RXFreqMax, TXFreqMin, TXFreqMax, Serial, RBW, OEM>\n"
    "              <Meas <all|tx|rsl|temp>\n"
    "              <Ver, Alarm, Reset, Alive, RpsCtrl, RpsAlarm, AtpcTime, AliveTime>";

int Usage() {
    printf("Syntax: %s\n", kUsage);
    return -1;
}

// Clears bit 5 of every lower-case ASCII letter, in place.
void FoldUpper(char* s) {
    for (; *s != '\0'; ++s) {
        if (*s >= 'a' && *s <= 'z') *s = static_cast<char>(*s & ~0x20);
    }
}

// Half-unit words are printed as the word times 0.5 in single precision.
double Half(int16_t w) { return static_cast<double>(static_cast<float>(w * 0.5)); }

// Each report reads its parameter and, on success, prints it; the result is
// the read's status.
typedef int (*Report)(const char* format);

template <int (*Get)(uint8_t*)>
int ByteReport(const char* format) {
    uint8_t v = 0;
    int st = Get(&v);
    if (st == ODU_OK) printf(format, static_cast<int>(v));
    return st;
}

template <int (*Get)(int16_t*)>
int HalfReport(const char* format) {
    int16_t v = 0;
    int st = Get(&v);
    if (st == ODU_OK) printf(format, Half(v));
    return st;
}

template <int (*Get)(int32_t*)>
int LongReport(const char* format) {
    int32_t v = 0;
    int st = Get(&v);
    if (st == ODU_OK) printf(format, static_cast<long>(v));
    return st;
}

int TxRxFreqReport(const char* format) {
    int32_t tx = 0;
    int32_t rx = 0;
    int st = ODU_GetTxRxFreq(&tx, &rx);
    if (st == ODU_OK) printf(format, static_cast<long>(tx), static_cast<long>(rx));
    return st;
}

int TmodelReport(const char* format) {
    char text[ODU_TEXT_MAX + 1];
    memset(text, 0, sizeof text);
    int st = ODU_GetTmodel(text);
    if (st != ODU_OK) return st;
    printf(format, text);
    printf("The content of tmodel in hex: ");
    for (int i = 0; i < ODU_TEXT_MAX; ++i) printf("%X ", static_cast<unsigned>(static_cast<uint8_t>(text[i])));
    printf("\n");
    return st;
}

int SerialReport(const char* format) {
    char text[ODU_TEXT_MAX + 1];
    memset(text, 0, sizeof text);
    int st = ODU_GetSerial(text);
    if (st == ODU_OK) printf(format, text);
    return st;
}

int VersionReport(const char*) {
    uint8_t block[ODU_VERSION_BLOCK];
    memset(block, 0, sizeof block);
    int st = ODU_GetVersion(block);
    if (st == ODU_OK) ODU_PrintVersion(block);
    return st;
}

int AlarmReport(const char* format) {
    int16_t v = 0;
    int st = ODU_GetAlarm(&v);
    // The word is widened with its sign: bit 15 set prints as FFFFxxxx.
    if (st == ODU_OK) printf(format, static_cast<unsigned>(static_cast<int>(v)));
    return st;
}

int MeasAllReport(const char* format) {
    int16_t tx = 0;
    int16_t rsl = 0;
    int16_t temp = 0;
    int st = ODU_GetMeasAll(&tx, &rsl, &temp);
    if (st == ODU_OK) printf(format, Half(tx), Half(rsl), static_cast<int>(temp));
    return st;
}

int MeasTempReport(const char* format) {
    int16_t v = 0;
    int st = ODU_GetMeasTemp(&v);
    if (st == ODU_OK) printf(format, static_cast<int>(v));
    return st;
}

struct Keyword {
    const char* name;
    Report report;
    const char* format;
};

// Compared in this order after folding; the first match wins. MEAS has no
// report of its own: it selects from the measurement table.
constexpr Keyword kKeywords[] = {
    {"OPMODE", ByteReport<ODU_GetOpmode>, "Opmode: %d\n"},
    {"TXMUTE", ByteReport<ODU_GetTxMute>, "TxMute: %d\n"},
    {"ATPCON", ByteReport<ODU_GetAtpcOn>, "Atpcon: %d\n"},
    {"TXPOWER", HalfReport<ODU_GetTxPower>, "txpower: %f\n"},
    {"TXRXFREQ", TxRxFreqReport, "TxFreq:%ld RxFreq:%ld\n"},
    {"BANDWIDTH", ByteReport<ODU_GetBandwidth>, "Bandwidth: %d\n"},
    {"QAM", ByteReport<ODU_GetQam>, "QAM: %.2X\n"},
    {"RFBAND", ByteReport<ODU_GetRfBand>, "rfband: %.2X\n"},
    {"HLTX", ByteReport<ODU_GetHlTx>, "hltx : %d\n"},
    {"TRSPACING", LongReport<ODU_GetTrSpacing>, "trspacing: %ld\n"},
    {"TXPOWERMIN", HalfReport<ODU_GetTxPowerMin>, "txpowermin: %f\n"},
    {"TXPOWERMAX", HalfReport<ODU_GetTxPowerMax>, "txpowermax: %f\n"},
    {"TMODEL", TmodelReport, "tmodel: <%s>\n"},
    {"RXFREQMIN", LongReport<ODU_GetRxFreqMin>, "rxfreqmin: %ld\n"},
    {"RXFREQMAX", LongReport<ODU_GetRxFreqMax>, "rxfreqmax: %ld\n"},
    {"TXFREQMIN", LongReport<ODU_GetTxFreqMin>, "txfreqmin: %ld\n"},
    {"TXFREQMAX", LongReport<ODU_GetTxFreqMax>, "txfreqmax: %ld\n"},
    {"SERIAL", SerialReport, "serial: <%s>\n"},
    {"RBW", ByteReport<ODU_GetRbw>, "RBW: %d\n"},
    {"OEM", ByteReport<ODU_GetOem>, "OEM: %c\n"},
    {"MEAS", nullptr, nullptr},
    {"VER", VersionReport, nullptr},
    {"ALARM", AlarmReport,
     "TxPowDeg, CabAttAdj, Cable, Lockout, PowAlm, IfSyn, TxPowAlm, TxSyn, RxSyn: %.4X\n"},
    {"RESET", ByteReport<ODU_GetResetCause>, "Reset (0: SW; 1: PU): %d\n"},
    {"ALIVE", ByteReport<ODU_GetAliveCounter>, "Alive counter: %d\n"},
    {"RPSCTRL", ByteReport<ODU_GetRpsCtrl>, "RSPControl: %.2X\n"},
    {"RPSALARM", ByteReport<ODU_GetRpsAlarm>,
     "TxPowDeg, CabAttAdj, CabAlm, IfSyn, TxPowFail, TxSyn, RxSyn: %.2X\n"},
    {"ATPCTIME", ByteReport<ODU_GetAtpcTime>, "AtpcTime: %d\n"},
    {"ALIVETIME", ByteReport<ODU_GetAliveTime>, "AliveTime: %d\n"},
};

constexpr Keyword kMeasKeywords[] = {
    {"ALL", MeasAllReport, "Tx: %.1f RSL: %.1f Temp: %d\n"},
    {"TX", HalfReport<ODU_GetMeasTx>, "Tx: %.1f \n"},
    {"RSL", HalfReport<ODU_GetMeasRsl>, "RSL: %.1f \n"},
    {"TEMP", MeasTempReport, "Temp: %d\n"},
};

template <size_t N>
const Keyword* Find(const Keyword (&table)[N], const char* word) {
    for (const Keyword& k : table) {
        if (strcmp(k.name, word) == 0) return &k;
    }
    return nullptr;
}

int Query(int argc, char** argv) {
    // The library expects its runtime services before any ODU traffic.
    LOCK_Init();
    SYS_EVT_Init();
    TQ_Init();

    if (argc < 2) return Usage();
    FoldUpper(argv[1]);
    const Keyword* k = Find(kKeywords, argv[1]);
    if (k == nullptr) return Usage();

    if (k->report == nullptr) {
        // MEAS without its second keyword is a malformed call, not an
        // unknown measurement: show the usage.
        if (argc < 3) return Usage();
        FoldUpper(argv[2]);
        k = Find(kMeasKeywords, argv[2]);
        if (k == nullptr) return 0;
    }

    if (k->report(k->format) != ODU_OK) puts("tolv failed");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int status = Query(argc, argv);
    // The runtime threads keep running until the process ends and may be
    // printing their start line right now. exit() flushes stdout without
    // taking its lock, so a thread flushing at the same moment would write
    // the buffered report a second time. Holding the stream's lock across
    // the final flush and exit makes the report come out exactly once.
    flockfile(stdout);
    fflush(stdout);
    exit(status);
}
