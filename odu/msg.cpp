// Message codec: request messages to the ODU and decoding of its answers.
#include "odu/msg.h"

#include "hw/bo.h"

namespace {

constexpr int kStatusAt = 2;  // status byte of an answer
constexpr int kFcsBytes = 2;  // FCS that follows the message in an answer

// Where the value of one (command, sub-command) stands in the answer.
struct MsgDecodeEntry {
    uint8_t command;
    uint8_t sub;
    bool anySub;  // commands without a sub-command byte, and command 38
    uint8_t at;
    uint8_t width;  // 0: the answer carries no value
    int32_t kind;
};

constexpr MsgDecodeEntry kDecodeTable[] = {
    {ODU_CMD_ALARM, 0, true, 3, 2, VK_WORD},
    {ODU_CMD_PARAM, 1, false, 4, 1, VK_BYTE},       // operating mode
    {ODU_CMD_PARAM, 4, false, 4, 1, VK_BYTE},       // transmit mute
    {ODU_CMD_PARAM, 6, false, 4, 1, VK_BYTE},       // ATPC on
    {ODU_CMD_PARAM, 7, false, 4, 2, VK_WORD},       // transmit power
    {ODU_CMD_PARAM, 10, false, 4, 8, VK_LONGPAIR},  // transmit, receive frequency
    {ODU_CMD_PARAM, 18, false, 4, 1, VK_BYTE},      // bandwidth
    {ODU_CMD_PARAM, 19, false, 4, 1, VK_BYTE},      // modulation
    {ODU_CMD_PARAM, 31, false, 4, 1, VK_BYTE},
    {ODU_CMD_PARAM, 32, false, 4, 1, VK_BYTE},             // RF band
    {ODU_CMD_PARAM, 33, false, 4, 1, VK_BYTE},             // HLTX
    {ODU_CMD_PARAM, 34, false, 4, 4, VK_LONG},             // transmit/receive spacing
    {ODU_CMD_PARAM, 35, false, 4, 2, VK_WORD},             // minimum transmit power
    {ODU_CMD_PARAM, 37, false, 4, 2, VK_WORD},             // maximum transmit power
    {ODU_CMD_PARAM, 39, false, 4, ODU_TEXT_MAX, VK_TEXT},  // model
    {ODU_CMD_PARAM, 41, false, 4, 4, VK_LONG},             // minimum receive frequency
    {ODU_CMD_PARAM, 45, false, 4, 4, VK_LONG},             // maximum receive frequency
    {ODU_CMD_PARAM, 49, false, 4, 4, VK_LONG},             // minimum transmit frequency
    {ODU_CMD_PARAM, 53, false, 4, 4, VK_LONG},             // maximum transmit frequency
    {ODU_CMD_PARAM, 57, false, 4, ODU_TEXT_MAX, VK_TEXT},  // serial number
    {ODU_CMD_PARAM, 58, false, 4, 1, VK_BYTE},             // RBW
    {ODU_CMD_PARAM, 59, false, 4, 1, VK_BYTE},             // OEM code
    {ODU_CMD_PARAM, 61, false, 4, 1, VK_BYTE},
    {ODU_CMD_TEXT, 0, true, 0, 0, VK_BYTE},       // control text: no value
    {ODU_CMD_MEAS, 1, false, 4, 2, VK_WORD},      // transmit power
    {ODU_CMD_MEAS, 2, false, 4, 2, VK_WORD},      // received signal level
    {ODU_CMD_MEAS, 3, false, 4, 2, VK_WORD},      // temperature
    {ODU_CMD_MEAS, 255, false, 4, 6, VK_TRIPLE},  // all three
    {ODU_CMD_RESET, 0, true, 3, 1, VK_BYTE},
    {ODU_CMD_VERSION, 0, true, 3, ODU_VERSION_BLOCK, VK_TEXT},
    {ODU_CMD_ALIVE, 0, true, 3, 1, VK_BYTE},
    {ODU_CMD_RPSCTRL, 0, true, 3, 1, VK_BYTE},
    {ODU_CMD_RPSALARM, 0, true, 3, 1, VK_BYTE},
    {ODU_CMD_TIMES, 0, true, 4, 1, VK_BYTE},  // ATPC time (5), alive time (7)
};

const MsgDecodeEntry* FindEntry(uint8_t command, uint8_t sub) {
    for (const MsgDecodeEntry& e : kDecodeTable) {
        if (e.command == command && (e.anySub || e.sub == sub)) return &e;
    }
    return nullptr;
}

// Number of characters of a text value: up to its zero byte, at most the
// whole payload.
unsigned TextLength(const OduValue* value) {
    unsigned n = 0;
    while (n < sizeof value->payload.b && value->payload.b[n] != 0) ++n;
    return n;
}

// Number of bytes a SET carries for the value.
unsigned ValueSize(const OduValue* value) {
    switch (value->kind) {
        case VK_BYTE:
            return 1;
        case VK_WORD:
            return 2;
        case VK_LONG:
            return 4;
        case VK_LONGPAIR:
            return 8;
        case VK_TEXT:
            return TextLength(value);
        default:
            return 0;
    }
}

}  // namespace

int MSG_HasSub(uint8_t command) {
    return command == ODU_CMD_PARAM || command == ODU_CMD_MEAS || command == ODU_CMD_TIMES ? 1 : 0;
}

int MSG_BuildRequest(uint8_t type, uint8_t command, uint8_t sub, uint8_t* req, uint8_t* len,
                     const OduValue* value) {
    *len = 0;
    if (type != MSG_GET && type != MSG_SET) return ODU_ERR_MSGTYPE;

    const unsigned head = MSG_HasSub(command) ? 3u : 2u;
    if (type == MSG_SET && value != nullptr &&
        head + ValueSize(value) > static_cast<unsigned>(MSG_MAX_LEN)) {
        return ODU_ERR_TOOLONG;  // refused before anything is written
    }

    req[0] = type;
    req[1] = command;
    if (head == 3u) req[2] = sub;
    *len = static_cast<uint8_t>(head);
    if (type == MSG_SET && value != nullptr) MSG_PutValue(value, req, len);
    return ODU_OK;
}

void MSG_PutValue(const OduValue* value, uint8_t* buf, uint8_t* len) {
    unsigned n = *len;
    const unsigned size = ValueSize(value);
    if (n + size > static_cast<unsigned>(MSG_MAX_LEN)) return;  // would overrun the buffer

    switch (value->kind) {
        case VK_BYTE:
            buf[n++] = value->payload.b[0];
            break;
        case VK_WORD:
            BO_PutLe16(static_cast<uint16_t>(value->payload.w), &buf[n], &buf[n + 1]);
            n += 2;
            break;
        case VK_LONG:
            BO_PutLe32(static_cast<uint32_t>(value->payload.l), &buf[n], &buf[n + 1], &buf[n + 2],
                       &buf[n + 3]);
            n += 4;
            break;
        case VK_LONGPAIR:
            BO_PutLe32(static_cast<uint32_t>(value->payload.l), &buf[n], &buf[n + 1], &buf[n + 2],
                       &buf[n + 3]);
            BO_PutLe32(static_cast<uint32_t>(value->second), &buf[n + 4], &buf[n + 5], &buf[n + 6],
                       &buf[n + 7]);
            n += 8;
            break;
        case VK_TEXT:
            for (unsigned i = 0; i < size; ++i) buf[n++] = value->payload.b[i];
            break;
        default:
            break;  // VK_TRIPLE and unknown kinds carry nothing
    }
    *len = static_cast<uint8_t>(n);
}

int MSG_DecodeResponse(uint8_t command, uint8_t sub, const uint8_t* answer, uint8_t len,
                       OduValue* value) {
    if (len <= kFcsBytes) return ODU_ERR_SHORT;
    if (answer[kStatusAt] != 0) return ODU_ERR_REJECTED;

    const MsgDecodeEntry* e = FindEntry(command, sub);
    if (e == nullptr) return ODU_ERR_UNSUPPORTED;
    if (e->width == 0) return ODU_OK;  // command 3 carries no value

    // The value must lie inside the message (the answer less its FCS);
    // bytes beyond it are left over from earlier traffic.
    if (e->at + e->width > len - kFcsBytes) return ODU_ERR_SHORT;
    if (value == nullptr) return ODU_OK;  // caller does not want the value

    const uint8_t* v = answer + e->at;
    switch (e->kind) {
        case VK_BYTE:
            value->payload.b[0] = v[0];
            break;
        case VK_WORD:
            value->payload.w = BO_GetLe16(v);
            break;
        case VK_LONG:
            value->payload.l = BO_GetLe32(v);
            break;
        case VK_LONGPAIR:
            value->payload.l = BO_GetLe32(v);
            value->second = BO_GetLe32(v + 4);
            break;
        case VK_TRIPLE:
            value->payload.w = BO_GetLe16(v);
            value->secondWord = BO_GetLe16(v + 2);
            value->thirdWord = BO_GetLe16(v + 4);
            break;
        case VK_TEXT:
            MSG_CopyBlock(value->payload.b, v, e->width);
            break;
        default:
            break;
    }
    value->kind = e->kind;
    return ODU_OK;
}

void MSG_CopyBlock(uint8_t* dst, const uint8_t* src, uint8_t count) {
    for (unsigned i = 0; i < count; ++i) dst[i] = src[i];
    dst[count] = 0;
}
