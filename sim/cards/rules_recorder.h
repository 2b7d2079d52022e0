// A recorder that writes what passes between the reader and its cards as
// rules files, so that a session can be replayed later by rules cards.
#ifndef KYT_SIM_RULES_RECORDER_H
#define KYT_SIM_RULES_RECORDER_H

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim_reader.h"

namespace kytsim {

// Slot N's card goes to BASE.slotN; each time the slot powers on with an ATR
// other than the last one (another card), a new file begins: BASE.slotN.2,
// BASE.slotN.3 and so on.  Each file is a rules file of its own: a comment
// naming the slot, the ATR line, then the commands and responses in the
// order they passed, each pair written at once, so that a recording cut
// short (kyt_sim killed) is a good rules file up to its last exchange.  A
// file is made (or emptied) at its card's first power-on; exchanges before
// a slot's first power-on seen by the recorder are not written.  A command
// answered more than once stays in the file each time; on replay the first
// response wins.
class RulesRecorder : public CardRecorder {
public:
    // `report` hears, once per file, why a file cannot be made or written;
    // that file is given up.
    RulesRecorder(std::string base, std::function<void(const std::string &)> report);
    ~RulesRecorder() override;
    RulesRecorder(const RulesRecorder &) = delete;
    RulesRecorder &operator=(const RulesRecorder &) = delete;

    void PoweredOn(unsigned slot, const Bytes &atr) override;
    void Exchanged(unsigned slot, const Bytes &command, const Bytes &response) override;

    // The name of the file of the slot's `card`-th card (counted from 1).
    static std::string FileName(const std::string &base, unsigned slot, unsigned card);

private:
    struct SlotFile {
        int fd = -1;
        std::string path;
        Bytes atr;
        unsigned cards = 0;
    };
    void Begin(unsigned slot, SlotFile &file, const Bytes &atr);
    void Write(SlotFile &file, const std::string &text);

    std::mutex mutex_;
    const std::string base_;
    const std::function<void(const std::string &)> report_;
    std::vector<SlotFile> slots_;
};

} // namespace kytsim

#endif
