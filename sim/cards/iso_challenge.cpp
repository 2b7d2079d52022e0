// GET CHALLENGE and EXTERNAL AUTHENTICATE as the demo cards answer them:
//
//   GET CHALLENGE           00 84 00 00 Le
//     Le random bytes (1 to 256, Le 00 = 256) and 90 00; the challenge
//     replaces the card's last one.  P1-P2 not 0000: 6A 86; command data,
//     no Le, or an extended Le above 256: 67 00.
//   EXTERNAL AUTHENTICATE   00 82 00 00 Lc cryptogram
//     The demo cards hold no keys: the cryptogram they expect is the last
//     challenge itself.  It matches: 90 00; it does not: 63 00.  Either way
//     the challenge is used up.  No challenge since power-on (or since the
//     last EXTERNAL AUTHENTICATE): 69 85.  P1-P2 not 0000: 6A 86; no data,
//     or an Le: 67 00.
//
// A power-on forgets the challenge; other commands leave it.
#include "iso_challenge.h"

#include "protocol.h"

namespace kytsim {

CardChallenge::CardChallenge() : generator_(std::random_device{}())
{
}

void CardChallenge::Forget()
{
    last_.clear();
}

Bytes CardChallenge::GetChallenge(const Apdu &apdu)
{
    if (apdu.p1 != 0 || apdu.p2 != 0)
        return StatusWord(kSwWrongP1p2);
    if (!apdu.data.empty() || !apdu.le || *apdu.le > kMaxShortLe)
        return StatusWord(kSwWrongLength);
    std::uniform_int_distribution<unsigned> byte(0, 0xFF);
    last_.resize(*apdu.le);
    for (uint8_t &value : last_)
        value = static_cast<uint8_t>(byte(generator_));
    return WithStatus(last_, kSwOk);
}

Bytes CardChallenge::ExternalAuthenticate(const Apdu &apdu)
{
    if (apdu.p1 != 0 || apdu.p2 != 0)
        return StatusWord(kSwWrongP1p2);
    if (apdu.data.empty() || apdu.le)
        return StatusWord(kSwWrongLength);
    if (last_.empty())
        return StatusWord(kSwConditionsNotSatisfied);
    const bool matches = apdu.data == last_;
    last_.clear();
    return StatusWord(matches ? kSwOk : kSwVerificationFailed);
}

} // namespace kytsim
