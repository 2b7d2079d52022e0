#include "ifd_rig.h"

#include <dlfcn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

#include <gtest/gtest.h>

#include "iso_card.h"

namespace {

std::mutex g_logLock;
std::vector<std::string> g_log;

} // namespace

// pcscd's logging function, which the handler looks up at run time.
extern "C" __attribute__((visibility("default"), format(printf, 2, 3))) void log_msg(const int priority,
                                                                                     const char *format, ...);
extern "C" void log_msg(const int priority, const char *format, ...)
{
    (void)priority;
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(g_logLock);
    g_log.emplace_back(text);
}

namespace ifdtest {

namespace {

template <typename F>
void Resolve(void *library, const char *name, F *function)
{
    *function = reinterpret_cast<F>(dlsym(library, name));
    ASSERT_NE(*function, nullptr) << name;
}

Handler Load()
{
    Handler h;
    h.library = dlopen(KYT_IFD_HANDLER, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(h.library, nullptr) << dlerror();
    if (!h.library)
        return h;
    Resolve(h.library, "IFDHCreateChannelByName", &h.createByName);
    Resolve(h.library, "IFDHCreateChannel", &h.create);
    Resolve(h.library, "IFDHCloseChannel", &h.close);
    Resolve(h.library, "IFDHGetCapabilities", &h.getCapabilities);
    Resolve(h.library, "IFDHSetCapabilities", &h.setCapabilities);
    Resolve(h.library, "IFDHSetProtocolParameters", &h.setProtocol);
    Resolve(h.library, "IFDHPowerICC", &h.power);
    Resolve(h.library, "IFDHTransmitToICC", &h.transmit);
    Resolve(h.library, "IFDHControl", &h.control);
    Resolve(h.library, "IFDHICCPresence", &h.presence);
    return h;
}

constexpr uint8_t kEscapeMessage = 0x6B; // PC_to_RDR_Escape
constexpr size_t kCcidHeaderSize = 10;

} // namespace

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
const Bytes kReadIccid = {0x00, 0xB0, 0x00, 0x00, 0x0A};
const Bytes kIccid = {0x98, 0x94, 0x00, 0x21, 0x43, 0x65, 0x87, 0x09, 0x21, 0xF3, 0x90, 0x00};

const Handler &Ifd()
{
    static Handler handler = Load();
    return handler;
}

std::vector<std::string> LogLines()
{
    std::lock_guard<std::mutex> lock(g_logLock);
    return g_log;
}

void ClearLog()
{
    std::lock_guard<std::mutex> lock(g_logLock);
    g_log.clear();
}

size_t LogLinesContaining(const std::string &text)
{
    std::vector<std::string> lines = LogLines();
    return static_cast<size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string &line) { return line.find(text) != std::string::npos; }));
}

std::vector<Bytes> EscapeCommands(const kytsim::SimReader &sim)
{
    std::vector<Bytes> escapes;
    for (const Bytes &message : sim.Commands()) {
        if (message.size() >= kCcidHeaderSize && message[0] == kEscapeMessage)
            escapes.emplace_back(message.begin() + kCcidHeaderSize, message.end());
    }
    return escapes;
}

ReaderRig::ReaderRig(DWORD reader, const kytsim::Config &config, const std::string &linkName)
    : reader_(reader), config_(config)
{
    char pattern[] = "/tmp/kyt-ifd.XXXXXX";
    if (mkdtemp(pattern))
        folder_ = pattern;
    link_ = folder_ + "/" + linkName;
    slots_ = kytsim::ModelSlots(config.model);
}

ReaderRig::~ReaderRig()
{
    CloseChannels();
    Pull();
    if (!folder_.empty())
        rmdir(folder_.c_str());
}

bool ReaderRig::Plug()
{
    sim_ = std::make_unique<kytsim::SimReader>(config_);
    sim_->InsertCard(0, kytsim::DemoT1Card());
    sim_->InsertCard(1, kytsim::DemoT0Card());
    if (!sim_->Start())
        return false;
    return LinkTo(sim_->PortPath());
}

bool ReaderRig::LinkTo(const std::string &target)
{
    unlink(link_.c_str());
    return symlink(target.c_str(), link_.c_str()) == 0;
}

void ReaderRig::Pull()
{
    unlink(link_.c_str());
    if (sim_)
        sim_->Stop();
}

RESPONSECODE ReaderRig::OpenChannels(const std::string &options, unsigned slots)
{
    std::string name = link_ + options;
    for (DWORD slot = 0; slot < (slots != 0 ? slots : slots_); slot++) {
        RESPONSECODE rv = Ifd().createByName(Lun(slot), name.data());
        if (rv != IFD_SUCCESS)
            return rv;
        open_ = static_cast<unsigned>(slot + 1);
    }
    return IFD_SUCCESS;
}

void ReaderRig::CloseChannels()
{
    for (DWORD slot = 0; slot < open_; slot++)
        EXPECT_EQ(Ifd().close(Lun(slot)), IFD_SUCCESS) << "slot " << slot;
    open_ = 0;
}

RESPONSECODE ReaderRig::WaitForEvent(DWORD slot, int timeoutMs)
{
    RESPONSECODE (*wait)(DWORD, int) = nullptr;
    DWORD length = sizeof wait;
    RESPONSECODE rv =
        Ifd().getCapabilities(Lun(slot), TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length, reinterpret_cast<PUCHAR>(&wait));
    if (rv != IFD_SUCCESS || length != sizeof wait || !wait)
        return rv != IFD_SUCCESS ? rv : IFD_ERROR_TAG;
    return wait(Lun(slot), timeoutMs);
}

RESPONSECODE ReaderRig::StopWait(DWORD slot)
{
    RESPONSECODE (*stop)(DWORD) = nullptr;
    DWORD length = sizeof stop;
    RESPONSECODE rv =
        Ifd().getCapabilities(Lun(slot), TAG_IFD_STOP_POLLING_THREAD, &length, reinterpret_cast<PUCHAR>(&stop));
    if (rv != IFD_SUCCESS || length != sizeof stop || !stop)
        return rv != IFD_SUCCESS ? rv : IFD_ERROR_TAG;
    return stop(Lun(slot));
}

void ReaderRig::BecomeEventThread()
{
    for (DWORD slot = 0; slot < open_; slot++)
        EXPECT_EQ(WaitForEvent(slot, 0), IFD_SUCCESS) << "slot " << slot;
}

Bytes ReaderRig::PowerUp(DWORD slot, RESPONSECODE expected)
{
    UCHAR atr[MAX_ATR_SIZE];
    DWORD length = sizeof atr;
    EXPECT_EQ(Ifd().power(Lun(slot), IFD_POWER_UP, atr, &length), expected) << "slot " << slot;
    return Bytes(atr, atr + length);
}

RESPONSECODE ReaderRig::Transmit(DWORD slot, const Bytes &apdu, Bytes *response, DWORD capacity)
{
    SCARD_IO_HEADER send = {static_cast<DWORD>(slot == 1 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1), 0};
    SCARD_IO_HEADER received = {};
    std::vector<UCHAR> buffer(capacity + 1);
    DWORD length = capacity;
    Bytes command = apdu;
    RESPONSECODE rv = Ifd().transmit(Lun(slot), send, command.data(), static_cast<DWORD>(command.size()), buffer.data(),
                                     &length, &received);
    response->assign(buffer.begin(), buffer.begin() + std::min<DWORD>(length, capacity));
    if (rv != IFD_SUCCESS) {
        EXPECT_EQ(length, 0UL) << "the response length is 0 after every error";
    }
    return rv;
}

RESPONSECODE ReaderRig::Capability(DWORD slot, DWORD tag, Bytes *value, DWORD capacity)
{
    std::vector<UCHAR> buffer(capacity + 1);
    DWORD length = capacity;
    RESPONSECODE rv = Ifd().getCapabilities(Lun(slot), tag, &length, buffer.data());
    value->assign(buffer.begin(), buffer.begin() + std::min<DWORD>(length, capacity));
    return rv;
}

RESPONSECODE ReaderRig::Control(DWORD code, const Bytes &command, Bytes *reply, DWORD capacity)
{
    std::vector<UCHAR> in = command, out(capacity + 1);
    DWORD returned = 12345;
    RESPONSECODE rv = Ifd().control(Lun(0), code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                                    out.data(), capacity, &returned);
    reply->assign(out.begin(), out.begin() + std::min<DWORD>(returned, capacity));
    if (rv != IFD_SUCCESS) {
        EXPECT_EQ(returned, 0UL);
    }
    return rv;
}

} // namespace ifdtest
