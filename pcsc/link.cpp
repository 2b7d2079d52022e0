#include "link.h"

#include <errno.h>

#include <memory>
#include <new>

#include "log.h"

namespace ifdkyt {

namespace {

// While the speed changes and is checked.  A reader in step answers the
// firmware query within about 60 ms even at 9600 bit/s; one out of step
// does not answer at all and should not cost the working timeouts' 2 s per
// attempt.
constexpr KYT_TIMEOUTS kProbeTimeouts = {300, 1, 1000, 1};

// For the power-offs of KYT_Close: a power-off needs about 30 ms of line at
// 9600 bit/s, and three slots that get no answer still close within a
// second (3 x (100 + 200) ms).
constexpr KYT_TIMEOUTS kClosingTimeouts = {100, 0, 200, 0};
// A reader known not to answer is not waited for at all.
constexpr KYT_TIMEOUTS kSilentTimeouts = {0, 0, 0, 0};

constexpr int kReopenScans = 2;

// The firmware query, with room in the reply for any text a reader sends.
// A reply longer still is a reader that answers all the same: the link is
// in step, and only the identity stays unknown.
KYT_STATUS ReadIdentity(ReaderHandle handle, ReaderIdentity *identity)
{
    *identity = ReaderIdentity{};
    KYT_SetTimeouts(handle, &kProbeTimeouts);
    std::unique_ptr<unsigned char[]> reply(new (std::nothrow) unsigned char[kFirmwareReplyCapacity]);
    if (!reply)
        return ENOMEM;
    KYT_ULONG returned = 0;
    KYT_STATUS status = KYT_Control(handle, 0, KYT_IOCTL_ESCAPE, kFirmwareQuery, sizeof kFirmwareQuery, reply.get(),
                                    kFirmwareReplyCapacity, &returned);
    if (status == E2BIG)
        Log(LogLevel::Error,
            "the reader's firmware version text is longer than %zu bytes: model and version "
            "unknown",
            kFirmwareReplyCapacity);
    if (status != KYT_SUCCESS)
        return status;
    if (returned > kFirmwareReplyCapacity)
        return EIO;
    ParseFirmwareReply(reply.get(), returned, identity);
    return KYT_SUCCESS;
}

// The reader answered the query, whatever it said.
bool Answered(KYT_STATUS status)
{
    return status == KYT_SUCCESS || status == E2BIG;
}

KYT_ULONG LineSpeed(ReaderHandle handle)
{
    KYT_ULONG speed = 0;
    KYT_GetBaudRate(handle, &speed);
    return speed;
}

// Asks the reader for `wanted` bit/s.  KYT_SetBaudRate leaves the two ends
// out of step in two cases: the reader refused the change (the port has
// switched, the reader has not), or its confirmation was lost (the reader
// may have switched, the port has not).  The firmware query tells whether
// the reader still answers (and fills *identity); if not, opening the
// reader afresh finds the speed it runs at.  The speed is then not asked
// for again.
KYT_STATUS ChangeSpeed(const char *port, KYT_ULONG wanted, ReaderHandle *handle, ReaderIdentity *identity,
                       bool *identified)
{
    KYT_SetTimeouts(*handle, &kProbeTimeouts);
    KYT_STATUS status = KYT_SetBaudRate(*handle, wanted);
    bool inStep = Answered(ReadIdentity(*handle, identity));
    *identified = inStep;
    if (status == KYT_SUCCESS && inStep) {
        Log(LogLevel::Info, "%s: line speed %lu bit/s", port, wanted);
        return KYT_SUCCESS;
    }
    if (inStep) {
        Log(LogLevel::Info, "%s: the reader did not take %lu bit/s (status 0x%lX); staying at %lu bit/s", port, wanted,
            status, LineSpeed(*handle));
        return KYT_SUCCESS;
    }
    Log(LogLevel::Info,
        "%s: the reader did not take %lu bit/s (status 0x%lX) and does not answer at %lu bit/s; "
        "opening it afresh",
        port, wanted, status, LineSpeed(*handle));
    CloseLink(*handle, false);
    *handle = nullptr;
    // What the reader still sends in answer to the frames it could not read
    // can spoil the scan's first attempt, the only one at its old speed if
    // that was 9600 bit/s: a second scan finds a quiet line.
    for (int scan = 0; scan < kReopenScans; scan++) {
        status = KYT_OpenA(port, handle);
        if (status == KYT_SUCCESS)
            break;
    }
    if (status == KYT_SUCCESS)
        Log(LogLevel::Info, "%s: reader found again at %lu bit/s", port, LineSpeed(*handle));
    return status;
}

} // namespace

KYT_STATUS OpenLink(const char *port, const ReaderOptions &options, Link *link)
{
    *link = Link{};
    KYT_STATUS status = KYT_OpenA(port, &link->handle);
    if (status != KYT_SUCCESS)
        return status;
    bool identified = false;
    if (options.speed != 0 && LineSpeed(link->handle) != options.speed)
        status = ChangeSpeed(port, options.speed, &link->handle, &link->identity, &identified);
    if (status == KYT_SUCCESS)
        status = KYT_GetNumSlots(link->handle, &link->numSlots);
    if (status != KYT_SUCCESS) {
        if (link->handle)
            CloseLink(link->handle, false);
        *link = Link{};
        return status;
    }
    link->speed = LineSpeed(link->handle);
    if (!identified && !Answered(ReadIdentity(link->handle, &link->identity)))
        Log(LogLevel::Error, "%s: no answer to the firmware version query: model and version unknown", port);
    Log(LogLevel::Info, "%s: %s reader, %lu slots, %lu bit/s", port,
        link->identity.text[0] ? link->identity.text : "KYT", link->numSlots, link->speed);
    return KYT_SUCCESS;
}

void LogOpenFailure(const char *port, KYT_STATUS status)
{
    switch (status) {
    case EACCES:
    case EPERM:
        Log(LogLevel::Error,
            "%s: permission denied: pcscd's user needs read and write access to the port "
            "(the dialout group)",
            port);
        break;
    case EBUSY:
        Log(LogLevel::Error, "%s: the port is in use by another program", port);
        break;
    case E2BIG:
        // libkyt's detection takes a firmware version reply of 35 bytes at
        // most, as every reader of the family sends.
        Log(LogLevel::Error,
            "%s: the reader's answer to the firmware version query is longer than a KYT "
            "reader's (35 bytes): not opened",
            port);
        break;
    default:
        Log(LogLevel::Error, "%s: no KYT reader answers on the port (status 0x%lX)", port, status);
        break;
    }
}

void CloseLink(ReaderHandle handle, bool readerAnswers)
{
    KYT_SetTimeouts(handle, readerAnswers ? &kClosingTimeouts : &kSilentTimeouts);
    KYT_Close(handle);
}

} // namespace ifdkyt
