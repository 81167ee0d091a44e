#include "hw/reg.h"

#include "hw/bo.h"
#include "hw/memdrv.h"

int REG_Read(int width, uint32_t address, void* result) {
    // Zero-filled, so a failed driver request delivers 0, never stale stack.
    MemdrvRequest record{};
    record.width = width;
    record.address = address;
    MEMDRV_Ioctl(MEMDRV_READ, &record);
    switch (width) {
        case REG_WIDTH_8:
            *static_cast<uint8_t*>(result) = record.value8;
            break;
        case REG_WIDTH_16:
            *static_cast<uint16_t*>(result) = record.value16;
            break;
        case REG_WIDTH_32:
            *static_cast<uint32_t*>(result) = record.value32;
            break;
        default:
            break;
    }
    return 0;
}

int REG_Write(int width, uint32_t address, int value) {
    MemdrvRequest record{};
    record.width = width;
    record.address = address;
    switch (width) {
        case REG_WIDTH_8:
            record.value8 = static_cast<uint8_t>(value);
            break;
        case REG_WIDTH_16:
            record.value16 = static_cast<uint16_t>(value);
            break;
        case REG_WIDTH_32:
            record.value32 = static_cast<uint32_t>(value);
            break;
        default:
            break;
    }
    MEMDRV_Ioctl(MEMDRV_WRITE, &record);
    return 0;
}

uint32_t REG_ReadSwapped32(uint32_t address) {
    uint32_t raw = 0;
    REG_Read(REG_WIDTH_32, address, &raw);
    uint32_t value = 0;
    BO_SwapWord(raw, &value);
    return value;
}

void REG_WriteSwapped32(uint32_t address, uint32_t value) {
    uint32_t raw = 0;
    BO_SwapWord(value, &raw);
    REG_Write(REG_WIDTH_32, address, static_cast<int>(raw));
}
