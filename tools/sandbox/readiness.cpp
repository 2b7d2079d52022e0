#include "readiness.h"

#include <cstdlib>
#include <set>
#include <vector>

#include <winscard.h>

namespace kytsandbox {

namespace {

// The slots pcscd lists, as one string of NUL-ended names.
std::string ListReaders(SCARDCONTEXT context)
{
    DWORD length = 0;
    if (SCardListReaders(context, nullptr, nullptr, &length) != SCARD_S_SUCCESS || length == 0)
        return "";
    std::string names(length, '\0');
    if (SCardListReaders(context, nullptr, names.data(), &length) != SCARD_S_SUCCESS)
        return "";
    names.resize(length);
    return names;
}

// The reader number in "KYT Sim NN SS", or -1 for another name.
int ReaderNumber(const std::string &name)
{
    std::string prefix = std::string(kFriendlyName) + " ";
    if (name.size() != prefix.size() + 5 || name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    std::string digits = name.substr(prefix.size(), 2);
    char *end = nullptr;
    long number = std::strtol(digits.c_str(), &end, 16);
    return *end == '\0' ? static_cast<int>(number) : -1;
}

// True when pcscd has seen the slot's state: a card, or none.
bool AllSettled(SCARDCONTEXT context, const std::vector<std::string> &names)
{
    std::vector<SCARD_READERSTATE> states(names.size());
    for (size_t i = 0; i < names.size(); i++) {
        states[i].szReader = names[i].c_str();
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    LONG rv = SCardGetStatusChange(context, 0, states.data(), static_cast<DWORD>(states.size()));
    if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT)
        return false;
    for (const SCARD_READERSTATE &state : states) {
        if ((state.dwEventState & (SCARD_STATE_PRESENT | SCARD_STATE_EMPTY)) == 0)
            return false;
    }
    return true;
}

} // namespace

bool Readiness::Look()
{
    SCARDCONTEXT context;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        seen_ = "no pcscd answering yet";
        previous_.clear();
        return false;
    }
    std::string list = ListReaders(context);
    std::vector<std::string> names;
    std::set<int> readers;
    for (size_t at = 0; at < list.size() && list[at] != '\0'; at = list.find('\0', at) + 1) {
        names.emplace_back(list.c_str() + at);
        readers.insert(ReaderNumber(names.back()));
    }
    bool settled = readers.size() == readers_ && !readers.count(-1) && AllSettled(context, names);
    SCardReleaseContext(context);

    seen_ = std::to_string(names.size()) + " slots of " + std::to_string(readers.size()) + " readers" +
            (settled ? "" : ", not all settled");
    std::string now = settled ? list : "";
    bool ready = settled && now == previous_;
    previous_ = now;
    return ready;
}

} // namespace kytsandbox
