// The recorder's files.  Each is written with write(2), one whole pair at a
// time, so that what has been written is in the file at once and a kill
// leaves no half-written pair behind but in the rarest case.
#include "rules_recorder.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "protocol.h"
#include "rules_card.h"

namespace kytsim {

RulesRecorder::RulesRecorder(std::string base, std::function<void(const std::string &)> report)
    : base_(std::move(base)), report_(std::move(report)), slots_(kMaxSlots)
{
}

RulesRecorder::~RulesRecorder()
{
    for (SlotFile &file : slots_) {
        if (file.fd >= 0)
            close(file.fd);
    }
}

std::string RulesRecorder::FileName(const std::string &base, unsigned slot, unsigned card)
{
    std::string name = base + ".slot" + std::to_string(slot);
    return card > 1 ? name + "." + std::to_string(card) : name;
}

void RulesRecorder::PoweredOn(unsigned slot, const Bytes &atr)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (slot >= slots_.size())
        return;
    SlotFile &file = slots_[slot];
    if (file.cards == 0 || atr != file.atr)
        Begin(slot, file, atr);
    Write(file, "; power-on\n");
}

void RulesRecorder::Exchanged(unsigned slot, const Bytes &command, const Bytes &response)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (slot >= slots_.size())
        return;
    SlotFile &file = slots_[slot];
    // A card emulator may answer what no rule can give back; the exchange
    // stays in the file as a comment, and the file stays good.
    if (response.size() < 2 || response.size() > kMaxRuleResponse) {
        Write(file, "; not replayable, the response has " + std::to_string(response.size()) + " bytes:\n; " +
                        RulesHex(command) + "\n; " + RulesHex(response) + "\n");
        return;
    }
    Write(file, RulesHex(command) + "\n" + RulesHex(response) + "\n");
}

// The slot's next file, headed by a comment naming the slot and the ATR line.
void RulesRecorder::Begin(unsigned slot, SlotFile &file, const Bytes &atr)
{
    if (file.fd >= 0)
        close(file.fd);
    file.cards++;
    file.atr = atr;
    file.path = FileName(base_, slot, file.cards);
    file.fd = open(file.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
    if (file.fd < 0) {
        report_("cannot record into " + file.path + ": " + std::strerror(errno));
        return;
    }
    Write(file, "; Slot " + std::to_string(slot) +
                    ", recorded by kyt_sim --record: the card's ATR, then each\n"
                    "; command and the card's response.  Replay it with\n"
                    "; kyt_sim --card " +
                    std::to_string(slot) + ":rules:" + file.path +
                    "\n; (the first response to a command wins).\n"
                    "ATR " +
                    RulesHex(atr) + "\n");
}

void RulesRecorder::Write(SlotFile &file, const std::string &text)
{
    size_t done = 0;
    while (file.fd >= 0 && done < text.size()) {
        ssize_t n = write(file.fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            report_("cannot record into " + file.path + ": " + (n < 0 ? std::strerror(errno) : "nothing written"));
            close(file.fd);
            file.fd = -1;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

} // namespace kytsim
