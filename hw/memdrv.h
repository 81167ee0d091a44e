// The board's register access driver "/dev/memdrv": one request record per
// access, handed over with ioctl.
#pragma once

#include <cstdint>

// The record as the driver takes it, every field in the processor's own
// byte order. The three value fields are separate, not overlaid.
struct MemdrvRequest {
    int32_t width;     // REG_WIDTH_8 / 16 / 32
    uint32_t address;  // physical register address
    uint8_t value8;
    uint8_t pad;
    uint16_t value16;
    uint32_t value32;
};
static_assert(sizeof(MemdrvRequest) == 16, "the driver takes a 16-byte record");

constexpr int MEMDRV_READ = 0;
constexpr int MEMDRV_WRITE = 1;
constexpr const char* MEMDRV_PATH = "/dev/memdrv";
constexpr int MEMDRV_OPEN_FLAGS = 4098;  // O_RDWR | O_SYNC as the board defines them

// The descriptor is -1 while closed; the driver counts as open when it is
// greater than 0. MEMDRV_Open: 1 = was open, 2 = opened now, 0 = open failed
// (the negative result is kept, the next access tries again).
int MEMDRV_Open();
void MEMDRV_Close();
// One request: opens the driver if needed, issues the ioctl, closes it again
// if it opened it. Serialised across threads; always 0.
int MEMDRV_Ioctl(int request, MemdrvRequest* record);
// The current descriptor value (for tests and diagnostics).
int MEMDRV_Descriptor();
