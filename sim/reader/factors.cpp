// Transmission factors.
#include "factors.h"

namespace kytsim {

namespace {

// Fi and Di by index; 0 marks a reserved index.
constexpr uint32_t kFi[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0, 0, 512, 768, 1024, 1536, 2048, 0, 0};
constexpr uint32_t kDi[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

constexpr unsigned kNibble = 4;
constexpr uint8_t kLowNibble = 0x0F;

uint32_t Fi(uint8_t findexDindex)
{
    return kFi[findexDindex >> kNibble];
}

uint32_t Di(uint8_t findexDindex)
{
    return kDi[findexDindex & kLowNibble];
}

} // namespace

bool FactorsValid(uint8_t findexDindex)
{
    return Fi(findexDindex) != 0 && Di(findexDindex) != 0;
}

// The etu is Fi / Di clock cycles: asked is no faster when
// Fi(asked) / Di(asked) >= Fi(fastest) / Di(fastest).
bool FactorsWithin(uint8_t asked, uint8_t fastest)
{
    if (!FactorsValid(asked) || !FactorsValid(fastest))
        return false;
    return uint64_t{Fi(asked)} * Di(fastest) >= uint64_t{Fi(fastest)} * Di(asked);
}

} // namespace kytsim
