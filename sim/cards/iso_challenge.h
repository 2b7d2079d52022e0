// The challenge of the demo file-system cards: GET CHALLENGE and a keyless
// EXTERNAL AUTHENTICATE that checks the host sent the challenge back.
#ifndef KYT_SIM_ISO_CHALLENGE_H
#define KYT_SIM_ISO_CHALLENGE_H

#include <random>

#include "iso_apdu.h"

namespace kytsim {

// Part of a card's state: its own random generator and the last challenge
// it gave.  Not locked: the card that holds it locks around it.
class CardChallenge {
public:
    CardChallenge(); // the generator seeded afresh, no challenge
    // Power-on: the last challenge is gone (the generator runs on, so the
    // next challenge is unrelated to the ones before).
    void Forget();
    Bytes GetChallenge(const Apdu &apdu);
    Bytes ExternalAuthenticate(const Apdu &apdu);

private:
    std::mt19937 generator_;
    Bytes last_;
};

} // namespace kytsim

#endif
