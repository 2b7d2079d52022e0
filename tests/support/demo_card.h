// What the tests expect of kyt_sim's demo setup, written once: the ATR of
// the T=1 demo card (demo-t1, slot 0 of the demo setup), the escape command
// that asks the reader for its firmware text, and the text the demo reader
// (the default model, KYT7710P_V3) answers.  The simulator keeps its own
// copies: a test that took them from it would agree with any mistake.
#ifndef KYT_TESTS_DEMO_CARD_H
#define KYT_TESTS_DEMO_CARD_H

#include <cstdint>
#include <string>
#include <vector>

namespace demo {

inline const std::vector<uint8_t> kT1Atr = {0x3B, 0xF9, 0x96, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x45, 0x80,
                                            0x31, 0x80, 0x73, 0x90, 0x21, 0x00, 0x81, 0x05, 0x13};

inline const std::vector<uint8_t> kFirmwareQuery = {0xE0, 0x00, 0x00, 0x18, 0x00};

inline const std::string kFirmwareText = "KYT7710P_V3 1.0.1";

} // namespace demo

#endif
