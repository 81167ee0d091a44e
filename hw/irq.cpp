// Interrupt controller enable bits.
#include "hw/irq.h"

#include <cstdio>

#include "hw/bo.h"
#include "hw/reg.h"

int IRQ_SetEnable(int on, int n) {
    uint32_t mask = REG_Bit(n);
    uint32_t value = REG_ReadSwapped32(IRQ_ENABLE);
    if (on == IRQ_ON) {
        value |= mask;
    } else if (on == IRQ_OFF) {
        mask = ~mask;
        value &= mask;
    }
    uint32_t temp = 0;
    BO_SwapWord(value, &temp);
    printf("regaddr=0x%08lx mask=0x%08lx value=0x%08lx temp=0x%08lx\n",
           static_cast<unsigned long>(IRQ_ENABLE), static_cast<unsigned long>(mask),
           static_cast<unsigned long>(value), static_cast<unsigned long>(temp));
    REG_Write(REG_WIDTH_32, IRQ_ENABLE, static_cast<int>(temp));
    return 0;
}
