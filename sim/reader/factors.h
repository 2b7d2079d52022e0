// Transmission factors: the clock rate conversion integer Fi and the baud
// rate adjustment integer Di (ISO/IEC 7816-3, 8.3), named by their indices
// as bmFindexDindex carries them: the Fi index in the high nibble, the Di
// index in the low one.
#ifndef KYT_SIM_FACTORS_H
#define KYT_SIM_FACTORS_H

#include <cstdint>

namespace kytsim {

// Whether both indices of a bmFindexDindex name a value (not RFU).
bool FactorsValid(uint8_t findexDindex);

// Whether a card that manages `fastest` at most also manages `asked`: both
// valid, and the elementary time unit asked for (Fi / Di clock cycles) no
// shorter than that of `fastest`.
bool FactorsWithin(uint8_t asked, uint8_t fastest);

} // namespace kytsim

#endif
