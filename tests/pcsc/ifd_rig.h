// The IFD handler as pcscd sees it: the built libifdkyt.so loaded with
// dlopen, its IFDH functions called with pcscd's Luns, and a simulated
// reader at the other end of the pty.  The test program offers pcscd's
// log_msg, so the handler's messages are caught here.
#ifndef IFD_RIG_H
#define IFD_RIG_H

#include <string>
#include <vector>

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include "demo_card.h"
#include "sim_reader.h"

namespace ifdtest {

using kytsim::Bytes;

struct Handler {
    void *library = nullptr;
    RESPONSECODE (*createByName)(DWORD, LPSTR) = nullptr;
    RESPONSECODE (*create)(DWORD, DWORD) = nullptr;
    RESPONSECODE (*close)(DWORD) = nullptr;
    RESPONSECODE (*getCapabilities)(DWORD, DWORD, PDWORD, PUCHAR) = nullptr;
    RESPONSECODE (*setCapabilities)(DWORD, DWORD, DWORD, PUCHAR) = nullptr;
    RESPONSECODE (*setProtocol)(DWORD, DWORD, UCHAR, UCHAR, UCHAR, UCHAR) = nullptr;
    RESPONSECODE (*power)(DWORD, DWORD, PUCHAR, PDWORD) = nullptr;
    RESPONSECODE (*transmit)(DWORD, SCARD_IO_HEADER, PUCHAR, DWORD, PUCHAR, PDWORD, PSCARD_IO_HEADER) = nullptr;
    RESPONSECODE (*control)(DWORD, DWORD, PUCHAR, DWORD, PUCHAR, DWORD, LPDWORD) = nullptr;
    RESPONSECODE (*presence)(DWORD) = nullptr;
};

// The handler, loaded once for the whole program.
const Handler &Ifd();

inline DWORD Lun(DWORD reader, DWORD slot)
{
    return reader << 16 | slot;
}

// What the handler wrote to pcscd's log since the last ClearLog().
std::vector<std::string> LogLines();
void ClearLog();
size_t LogLinesContaining(const std::string &text);

// The escape commands the simulated reader received, in order.
std::vector<Bytes> EscapeCommands(const kytsim::SimReader &sim);

extern const Bytes kSelectMf;
extern const Bytes kReadIccid;
extern const Bytes kIccid; // READ BINARY's answer: the demo cards' ICCID and 90 00
using demo::kFirmwareQuery;

// One reader of the handler (Lun index `reader`) on a simulated reader in
// the demo setup, with a channel open on each of its slots as pcscd opens
// them.  The port is a link in a folder of its own, so that a test can pull
// the reader and plug another one in under the same name.
class ReaderRig {
public:
    explicit ReaderRig(DWORD reader, const kytsim::Config &config = kytsim::Config(),
                       const std::string &linkName = "port");
    ~ReaderRig();
    ReaderRig(const ReaderRig &) = delete;
    ReaderRig &operator=(const ReaderRig &) = delete;

    // Starts the simulated reader (demo cards) and points the link at it.
    bool Plug();
    // Stops it and removes the link, as a USB serial adapter pulled out.
    void Pull();
    // Points the link at another file.
    bool LinkTo(const std::string &target);
    // Opens every slot's channel (or the first `slots`); the DEVICENAME is
    // the link plus `options`.
    RESPONSECODE OpenChannels(const std::string &options = "", unsigned slots = 0);
    void CloseChannels();

    kytsim::SimReader &Sim() { return *sim_; }
    const std::string &Link() const { return link_; }
    DWORD Lun(DWORD slot) const { return ifdtest::Lun(reader_, slot); }

    // pcscd's event thread of a slot waits in the handler between two polls
    // (TAG_IFD_POLLING_THREAD_WITH_TIMEOUT); its presence calls are the
    // ones a card's removal is reported to.  A wait of 0 ms makes the
    // calling thread the event thread of the slot.
    RESPONSECODE WaitForEvent(DWORD slot, int timeoutMs);
    RESPONSECODE StopWait(DWORD slot); // TAG_IFD_STOP_POLLING_THREAD
    void BecomeEventThread();          // of every slot

    Bytes PowerUp(DWORD slot, RESPONSECODE expected = IFD_SUCCESS);
    // Sends an APDU with a response buffer of `capacity` bytes.
    RESPONSECODE Transmit(DWORD slot, const Bytes &apdu, Bytes *response, DWORD capacity = 300);
    RESPONSECODE Capability(DWORD slot, DWORD tag, Bytes *value, DWORD capacity = 300);
    RESPONSECODE Control(DWORD code, const Bytes &command, Bytes *reply, DWORD capacity = 300);

private:
    DWORD reader_;
    kytsim::Config config_;
    std::unique_ptr<kytsim::SimReader> sim_;
    std::string folder_;
    std::string link_;
    unsigned slots_ = 0;
    unsigned open_ = 0;
};

} // namespace ifdtest

#endif
