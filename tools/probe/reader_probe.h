// A KYT reader asked, through libkyt's public functions only, what a person
// bringing it up wants to know: the model and firmware text, the slot count,
// the line speed it was found at and each slot's card.
#ifndef KYT_PROBE_READER_PROBE_H
#define KYT_PROBE_READER_PROBE_H

#include <functional>
#include <string>
#include <vector>

#include "kyt.h"

namespace probe {

struct SlotReport {
    KYT_STATUS status = KYT_SUCCESS; // of KYT_GetIccStatus
    KYT_ULONG state = KYT_ICC_UNKNOWN;
};

struct ReaderReport {
    KYT_STATUS openStatus = KYT_SUCCESS; // of KYT_OpenA; nothing below is filled unless 0
    std::string model;                   // "KYT7710P_V3", ...; "" when the text names none
    std::string firmware;                // the version text, unprintable bytes as \xNN
    KYT_ULONG numSlots = 0;
    KYT_ULONG speed = 0; // bit/s
    std::vector<SlotReport> slots;
    // A call that failed once the reader was open (the port vanished, the
    // reader stopped answering): its name and status.
    std::string failedCall;
    KYT_STATUS failure = KYT_SUCCESS;
};

// Opens the reader on `path`, asks it, runs `whileOpen` (to look at the port
// while libkyt holds it) and closes it again.
ReaderReport ProbeReader(const std::string &path, const std::function<void()> &whileOpen);

// The model a firmware text begins with, in the order libkyt tries them:
// "KYT7710P_V3" before "KYT7710P".
std::string ModelOf(const std::string &firmware);

} // namespace probe

#endif
