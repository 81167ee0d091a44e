#include "hw/brd.h"

#include <cstdint>

#include "hw/reg.h"

int BRD_TestConfigBit() {
    return (REG_ReadSwapped32(BRD_CONFIG_REG) & REG_Bit(17)) != 0 ? 1 : 2;
}

int BRD_EnsureConfigWord() {
    uint32_t word = 0;
    REG_Read(REG_WIDTH_32, BRD_CONFIG_WORD_REG, &word);
    if (word != BRD_CONFIG_WORD) {
        REG_Write(REG_WIDTH_32, BRD_CONFIG_WORD_REG, static_cast<int>(BRD_CONFIG_WORD));
    }
    return 0;
}
