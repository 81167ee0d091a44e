// Board configuration words of the expansion bus.
#pragma once

constexpr unsigned BRD_CONFIG_REG = 0xC4000020u;
constexpr unsigned BRD_CONFIG_WORD_REG = 0xC400000Cu;
constexpr unsigned BRD_CONFIG_WORD = 0x4300D194u;

int BRD_TestConfigBit();
int BRD_EnsureConfigWord();
