#include "reader_probe.h"

#include <cstdio>

namespace probe {

namespace {

// The firmware version query: an escape command to slot 0; the reply is
// five bytes the reader does not document, then the version text.
//
//   reply:  5 header bytes | version text, starting with the model
constexpr unsigned char kFirmwareQuery[] = {0xE0, 0x00, 0x00, 0x18, 0x00};
constexpr size_t kFirmwareReplySize = 35;
constexpr size_t kFirmwareHeaderLength = 5;

constexpr const char *kModels[] = {"KYT7710P_V3", "KYT7710P", "KYT4460P"};

// A reader found by the detection answers within a few frames' time even at
// 9600 bit/s; one that stops answering, or a port that vanishes, should not
// hold the probe for the working timeouts' seconds.
constexpr KYT_TIMEOUTS kAskingTimeouts = {300, 1, 1000, 1};
// Closing powers every slot off: three slots that get no answer still close
// within a second.
constexpr KYT_TIMEOUTS kClosingTimeouts = {100, 0, 200, 0};

std::string Printable(const unsigned char *bytes, size_t count)
{
    // Trailing NUL and space padding is no part of the text.
    while (count > 0 && (bytes[count - 1] == 0 || bytes[count - 1] == ' '))
        count--;
    std::string text;
    for (size_t i = 0; i < count; i++) {
        if (bytes[i] >= 0x20 && bytes[i] < 0x7F) {
            text += static_cast<char>(bytes[i]);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", bytes[i]);
            text += escaped;
        }
    }
    return text;
}

// False, with the call noted, when `status` is a failure.
bool Noted(ReaderReport *report, const char *call, KYT_STATUS status)
{
    if (status == KYT_SUCCESS)
        return true;
    report->failedCall = call;
    report->failure = status;
    return false;
}

bool AskIdentity(ReaderHandle handle, ReaderReport *report)
{
    if (!Noted(report, "KYT_GetNumSlots", KYT_GetNumSlots(handle, &report->numSlots)) ||
        !Noted(report, "KYT_GetBaudRate", KYT_GetBaudRate(handle, &report->speed)))
        return false;
    unsigned char reply[kFirmwareReplySize];
    KYT_ULONG returned = 0;
    KYT_STATUS status =
        KYT_Control(handle, 0, KYT_IOCTL_ESCAPE, kFirmwareQuery, sizeof kFirmwareQuery, reply, sizeof reply, &returned);
    if (!Noted(report, "KYT_Control", status))
        return false;
    if (returned > kFirmwareHeaderLength && returned <= sizeof reply)
        report->firmware = Printable(reply + kFirmwareHeaderLength, returned - kFirmwareHeaderLength);
    report->model = ModelOf(report->firmware);
    return true;
}

void AskSlots(ReaderHandle handle, ReaderReport *report)
{
    for (KYT_ULONG slot = 0; slot < report->numSlots; slot++) {
        SlotReport state;
        state.status = KYT_GetIccStatus(handle, slot, &state.state);
        report->slots.push_back(state);
        if (!Noted(report, "KYT_GetIccStatus", state.status))
            return;
    }
}

} // namespace

std::string ModelOf(const std::string &firmware)
{
    for (const char *model : kModels) {
        if (firmware.rfind(model, 0) == 0)
            return model;
    }
    return "";
}

ReaderReport ProbeReader(const std::string &path, const std::function<void()> &whileOpen)
{
    ReaderReport report;
    ReaderHandle handle = nullptr;
    report.openStatus = KYT_OpenA(path.c_str(), &handle);
    if (report.openStatus != KYT_SUCCESS)
        return report;
    KYT_SetTimeouts(handle, &kAskingTimeouts);
    if (AskIdentity(handle, &report))
        AskSlots(handle, &report);
    whileOpen();
    KYT_SetTimeouts(handle, &kClosingTimeouts);
    KYT_Close(handle);
    return report;
}

} // namespace probe
