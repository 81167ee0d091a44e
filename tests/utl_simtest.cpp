// The register pulse on the simulated board: each call writes the next value
// of an 8-bit counter to register 0x2000, wrapping from 255 to 0.
#include <gtest/gtest.h>

#include "rt/utl.h"
#include "sim/sim.h"

TEST(UtlPulseReg, WritesCounterToRegister0x2000AndWraps) {
    SIM_Reset();
    for (int i = 1; i <= 256; ++i) {
        EXPECT_EQ(UTL_PulseReg(), 0);
        ASSERT_EQ(SIM_RegPeek(0x2000), static_cast<uint32_t>(i & 0xFF)) << "call " << i;
    }
    EXPECT_EQ(SIM_RegWrites(0x2000), 256);
    EXPECT_EQ(SIM_RegReads(0x2000), 0);
    SimAccess last;
    ASSERT_EQ(SIM_GetAccess(SIM_AccessCount() - 1, &last), 0);
    EXPECT_EQ(last.width, 0);  // one 8-bit write per pulse
}
