// Control API of the simulated board (libodusim.so).
//
// The simulated board stands where the board's drivers stand: it answers
// open / ioctl / close on "/dev/memdrv" and open / read / close on the
// "/dev/int%d" nodes, and the shell command "mknod" for those nodes. Behind
// the driver it models the FPGA's ODU channel, the GPIO and interrupt-
// controller words, the board configuration words, register 0x2000, and a
// model ODU at the far end of the serial line. Every other path and command
// passes through to the real system.
//
// Tests link libodusim.so directly (the library's accesses then reach the
// simulation) and steer and observe it with the SIM_ functions below. All
// functions are thread-safe. Times are microseconds on CLOCK_MONOTONIC, the
// clock the control library's timers read, so they compare directly with
// TMR_Now.
//
// Time model: nothing runs in the background. At every access the simulation
// brings itself up to "now": a frame started with PORT_TXSTART at t0 has left
// the transmitter at t0 + bytes * 10 / line rate; the model ODU parses it at
// that moment, and its answer lands in the receive FIFO byte by byte at line
// rate, starting `answer delay` later.
#pragma once

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------- reset

// Back to the power-on state: default knobs and parameter table, no faults,
// FIFOs empty, registers 0, every counter, log and trace cleared. Then the
// start-up configuration (ODUSIM_CONFIG file and ODUSIM_* variables) is
// applied again. Descriptors that are open stay valid.
void SIM_Reset();

// Clears counters, the access log, the wire trace and the lists of texts and
// mknod commands, but keeps the simulated state (registers, FIFOs, params,
// faults). Request numbers start again at 1.
void SIM_ClearWitness();

// Applies one configuration line in the config file syntax (see README),
// e.g. "answer_delay_us 500" or "param 2 7 word -7". Returns 0, or -1 for a
// line it does not understand.
int SIM_Config(const char* line);

// Current time on CLOCK_MONOTONIC in microseconds.
int64_t SIM_NowUs();

// ---------------------------------------------------------------- knobs

void SIM_SetLineRate(int bitsPerSecond);  // default 115200; 10 bits per byte
void SIM_SetAnswerDelayUs(int us);        // end of request -> first answer byte; default 2000
void SIM_SetLateDelayUs(int us);          // answer delay under SIM_FAULT_LATE; default 1000000
void SIM_SetSetApplyDelayMs(int ms);      // SET takes effect this much later; default 0;
                                          // negative: a SET is never applied
void SIM_SetRestartSilenceMs(int ms);     // silence after "S5","S4"; default 20000
void SIM_SetTxFifoDepth(int bytes);       // default 256 (1..4096)
void SIM_SetGarbageBytes(int n);          // bytes sent before the answer under
                                          // SIM_FAULT_GARBAGE; default 20
void SIM_SetStormBytes(int n);            // length of a SIM_FAULT_FLAG_STORM; default 2000
void SIM_SetMemdrvMissing(int missing);   // 1: open("/dev/memdrv") fails with ENOENT
void SIM_SetDriverDelayUs(int us);        // each open, ioctl and close of "/dev/memdrv"
                                          // takes this long, as a slow driver would; default 0
void SIM_SetIoctlFails(int fails);        // 1: every memdrv ioctl fails (-1, EIO) and
                                          // leaves the record untouched
void SIM_SetIntReadFails(int fails);      // 1: read() on "/dev/int%d" fails at once (-1, EIO)
void SIM_SetIntOpenFails(int fails);      // 1: open("/dev/int%d") fails (-1, ENODEV)
void SIM_SetNodesExist(int exist);        // 1: every "/dev/int%d" node exists already
                                          // (mknod answers 256)
void SIM_SetTraceFile(const char* path);  // wire trace file (appended); nullptr/"" = none

// ---------------------------------------------------------------- model ODU parameters
//
// The table maps (command, sub-command) to the raw value bytes the ODU puts
// into its answer after the status byte (and after the sub-command byte for
// commands 2, 5 and 38), little-endian as on the wire. For commands without
// a sub-command byte, pass sub 0 (the ODU keys them by command alone).
// A GET answers status 0 and the stored bytes; a pair not in the table is
// answered with status 0 and no value bytes. A SET replaces the stored
// bytes with the bytes the request carries (after the set-apply delay) and
// is answered in the GET layout with the value in force at that moment.

constexpr int SIM_PARAM_MAX = 64;  // longest value (bytes)

int SIM_SetParam(uint8_t cmd, uint8_t sub, const uint8_t* bytes, int len);  // 0 / -1
int SIM_GetParam(uint8_t cmd, uint8_t sub, uint8_t* out, int max);          // length, -1 = absent

void SIM_SetByte(uint8_t cmd, uint8_t sub, uint8_t value);
void SIM_SetWord(uint8_t cmd, uint8_t sub, int16_t value);
void SIM_SetLong(uint8_t cmd, uint8_t sub, int32_t value);
void SIM_SetPair(uint8_t cmd, uint8_t sub, int32_t first, int32_t second);
void SIM_SetTriple(uint8_t cmd, uint8_t sub, int16_t a, int16_t b, int16_t c);
// A text block of `width` bytes: the text, zero-padded (not terminated when
// it fills the block).
void SIM_SetText(uint8_t cmd, uint8_t sub, const char* text, int width);
// Version block of command 8: bank byte and two 10-byte version texts.
void SIM_SetVersion(uint8_t bank, const char* v1, const char* v2);

// Typed reads of the value in force; -1 (or 0 for the 32-bit ones) when the
// pair is absent or shorter than the type.
int SIM_GetByte(uint8_t cmd, uint8_t sub);
int SIM_GetWord(uint8_t cmd, uint8_t sub);
int32_t SIM_GetLong(uint8_t cmd, uint8_t sub);
int SIM_GetPair(uint8_t cmd, uint8_t sub, int32_t* first, int32_t* second);  // 0 / -1

// ---------------------------------------------------------------- faults
//
// A request is every frame the IDU sends that is not the marker frame; they
// are numbered 1, 2, ... from reset. Which fault applies to a request: the
// one set for its number with SIM_FaultOnRequest, else the next of those
// queued with SIM_FaultNext, else the one of SIM_FaultAlways, else none.
//
// SIM_FAULT_TX_FULL and SIM_FAULT_TX_STUCK act on the transmitter while the
// request is being loaded / sent. TX_FULL: the transmit FIFO reports full and
// drops every byte until the next PORT_TXSTART, which then counts as that
// request (even when the FIFO is empty). TX_STUCK: that PORT_TXSTART never
// finishes (status bit 5 stays 0 and the frame is lost) until the next
// PORT_TXSTART; under SIM_FaultAlways the bit reads 0 throughout.

enum SimFault : int {
    SIM_FAULT_NONE = 0,
    SIM_FAULT_SILENT,           // no answer at all
    SIM_FAULT_BAD_FCS,          // answer frame with a damaged FCS
    SIM_FAULT_WRONG_COMMAND,    // good frame, command byte = request's + 1
    SIM_FAULT_NOT_REPLY,        // good frame, first byte = request's type (not 1)
    SIM_FAULT_REFUSED,          // status byte 1, no value bytes
    SIM_FAULT_LATE,             // answer starts `late delay` after the request
    SIM_FAULT_NO_CLOSING_FLAG,  // answer without its closing flag
    SIM_FAULT_FLAG_STORM,       // flags with 0..2 bytes between them instead of the answer
    SIM_FAULT_TX_STUCK,         // transmitter never finishes
    SIM_FAULT_TX_FULL,          // transmit FIFO stays full
    SIM_FAULT_GARBAGE,          // non-flag bytes before the answer
    SIM_FAULT_COUNT
};

void SIM_FaultAlways(SimFault kind);            // SIM_FAULT_NONE switches it off
void SIM_FaultOnRequest(int n, SimFault kind);  // request number n (1-based, from reset)
void SIM_FaultNext(int count, SimFault kind);   // the next `count` requests
void SIM_FaultClear();                          // all of the above off

// Name used in the config syntax and the trace ("silent", "bad_fcs", ...);
// SIM_FaultByName returns SIM_FAULT_COUNT for an unknown name.
const char* SIM_FaultName(SimFault kind);
SimFault SIM_FaultByName(const char* name);

// ---------------------------------------------------------------- receive side injection

// Bytes the ODU channel has received, put into the receive FIFO at once.
void SIM_InjectRx(const uint8_t* bytes, int n);
// Bytes that start arriving `delayUs` from now, at line rate.
void SIM_ScheduleRx(int delayUs, const uint8_t* bytes, int n);
// Bytes the ODU sends right before its next answer (one shot), e.g. whole
// frames made with SIM_BuildFrame. Not sent when that request draws no answer.
void SIM_PrefixNextAnswer(const uint8_t* bytes, int n);
// Wire frame for a message: 7E, stuffed message + FCS-16 (low byte first), 7E.
// Built by the simulation's own codec. Returns the length, or -1 if it does
// not fit in max.
int SIM_BuildFrame(const uint8_t* msg, int n, uint8_t* out, int max);

int SIM_RxPending();  // bytes landed in the receive FIFO and not yet read
int SIM_TxPending();  // bytes in the transmit FIFO, not yet started

// ---------------------------------------------------------------- model ODU witness

int SIM_RequestCount();   // requests (non-marker frames) seen, good or bad
int SIM_MarkerCount();    // marker frames 7E FF 00 FF 7E seen
int SIM_BadFrameCount();  // frames dropped for a bad FCS or fewer than 3 bytes
int SIM_AnswerCount();    // answers sent (faulty ones included)
int SIM_RestartCount();   // restarts by "S5" then "S4"
int SIM_Silent();         // 1 while the ODU is silent after a restart

// One request as the ODU parsed it (last SIM_REQUEST_LOG kept).
constexpr int SIM_REQUEST_LOG = 512;
struct SimRequest {
    int number;     // 1-based request number
    int64_t endUs;  // time its last byte left the transmitter
    int goodFcs;    // 1 if the FCS was right
    int fault;      // SimFault applied to it
    int len;        // message bytes (without FCS), up to 128
    uint8_t msg[128];
};
// i from 0 (oldest kept) to SIM_RequestCount()-1; -1 when no longer kept.
int SIM_GetRequest(int i, SimRequest* out);
// Requests of one kind seen so far: type 2 (GET) or 3 (SET); sub is ignored
// for commands without a sub-command byte.
int SIM_CountRequests(uint8_t type, uint8_t cmd, uint8_t sub);

// Control texts (command 3) in order of arrival, upload lines included.
int SIM_TextCount();
int SIM_GetText(int i, char* out, int size);  // length, -1 if no such text
// Lines received while an upload was open ("S7"), line ends kept.
int SIM_UploadLineCount();
int SIM_GetUploadLine(int i, char* out, int size);
int SIM_UploadOpen();  // 1 after "S7" until a restart

// ---------------------------------------------------------------- wire trace

constexpr int SIM_FRAME_MAX = 512;   // bytes kept per trace entry
constexpr int SIM_TRACE_LOG = 1024;  // entries kept

enum SimDir : int { SIM_IDU_TO_ODU = 0, SIM_ODU_TO_IDU = 1 };

// One transmission on the line: for IDU->ODU the bytes of one PORT_TXSTART
// (a request whose bytes a full FIFO refused shows with len 0), for ODU->IDU
// one answer (or injected stream) as it is put on the line. Times are when
// the first / last byte has completely crossed the line (for an answer they
// may lie in the future when the entry is read).
struct SimFrame {
    int dir;          // SimDir
    int64_t firstUs;  // first byte across
    int64_t lastUs;   // last byte across
    int len;          // total bytes (only the first SIM_FRAME_MAX are kept)
    uint8_t bytes[SIM_FRAME_MAX];
};
int SIM_TraceCount();                    // entries since reset / clear
int SIM_GetTrace(int i, SimFrame* out);  // 0, or -1 when no longer kept

// ---------------------------------------------------------------- driver and register witness

struct SimAccess {
    uint32_t address;
    int width;       // width code as the driver received it
    int write;       // 1 = MEMDRV_WRITE, 0 = MEMDRV_READ
    uint32_t value;  // the register value read or written (not byte-reversed)
    int64_t tUs;
};
constexpr int SIM_ACCESS_LOG = 32768;  // accesses kept

// Every accepted driver request, numbered from 0 since reset / clear.
int64_t SIM_AccessCount();
int SIM_GetAccess(int64_t i, SimAccess* out);  // 0, or -1 when no longer kept
int SIM_RegReads(uint32_t address);
int SIM_RegWrites(uint32_t address);
int SIM_UnknownAccessCount();  // accesses to addresses the board does not have
uint32_t SIM_LastUnknownAddress();

// The last driver request exactly as the ioctl received it: request number
// and the 16 record bytes in memory order, before the driver filled it.
int SIM_LastRecord(int* request, uint8_t bytes[16]);  // 0, -1 if none yet

int SIM_DriverOpens();    // successful opens of "/dev/memdrv"
int SIM_DriverCloses();   // closes of such descriptors
int SIM_DriverIoctls();   // ioctls on such descriptors (failed ones included)
int SIM_DriverOpenNow();  // such descriptors open right now
int SIM_LastOpenFlags();  // flags of the last open of "/dev/memdrv" or "/dev/int%d"

// Register images. The 32-bit bit-handled words (0xC8003004,
// 0xC8004004..0xC8004014, 0xC4000020, 0xC400000C) travel through the driver
// least significant byte first in memory, which is the board's byte
// reversal on a big-endian processor. Peek/Poke take the register's own bit
// image; the *Driver variants take the word as the driver's 32-bit value
// field delivers it on this processor.
uint32_t SIM_RegPeek(uint32_t address);
void SIM_RegPoke(uint32_t address, uint32_t value);
uint32_t SIM_RegPeekDriver(uint32_t address);
void SIM_RegPokeDriver(uint32_t address, uint32_t word);

// ---------------------------------------------------------------- interrupt lines

// Fires line n once: one blocked (or the next) read() on "/dev/int<n>"
// returns. For lines 17..29 the pin (n - 17) bit of GPIO_IRQSTATUS is set.
// Line 27 also fires by itself when the first byte of an answer lands in the
// receive FIFO while bit 0 of 0x53000124 is set; that sets bit 0 of
// 0x53000126, which clears when read.
void SIM_FireLine(int n);
int SIM_IntWaiting(int n);  // threads blocked in read() on line n right now
int SIM_IntReads(int n);    // reads on line n that returned (failed ones included)
int SIM_IntOpenNow(int n);  // descriptors of line n open right now

int SIM_MknodCount();
int SIM_GetMknod(int i, char* out, int size);  // command text; length, -1 if none
