#include "sim_rig.h"

#include <csignal>

#include "reader_rig.h"

namespace rig {

std::string StatusPart(const std::string &status, const std::string &name)
{
    size_t start = status.find("; " + name + ": ");
    if (start == std::string::npos)
        return "";
    start += name.size() + 4;
    return status.substr(start, status.find("; ", start) - start);
}

bool SimRig::Begin(const std::vector<std::string> &args, const SimOptions &options)
{
    End();
    program_ = std::make_unique<SimProgram>(args, options.input, options.errors);
    if (!program_->Running()) {
        ADD_FAILURE() << "kyt_sim did not start";
        return false;
    }
    if (!program_->AwaitReady())
        return false;
    return !options.open || Open(options.timeoutMs, options.retries);
}

bool SimRig::Open(KYT_ULONG timeoutMs, KYT_ULONG retries)
{
    KYT_STATUS status = KYT_OpenA(Port().c_str(), &handle_);
    EXPECT_EQ(status, KYT_SUCCESS);
    if (status != KYT_SUCCESS) {
        handle_ = nullptr;
        return false;
    }
    if (timeoutMs != 0) {
        KYT_TIMEOUTS timeouts = {timeoutMs, retries, timeoutMs, retries};
        status = KYT_SetTimeouts(handle_, &timeouts);
        EXPECT_EQ(status, KYT_SUCCESS);
    }
    return status == KYT_SUCCESS;
}

void SimRig::End()
{
    if (handle_ != nullptr) {
        EXPECT_EQ(KYT_Close(handle_), KYT_SUCCESS);
    }
    handle_ = nullptr;
    if (program_ && program_->Running()) {
        EXPECT_EQ(program_->Stop(SIGTERM), 0) << program_->ErrorText();
    }
    program_.reset();
}

void SimRig::Kill()
{
    if (handle_ != nullptr)
        KYT_Close(handle_);
    handle_ = nullptr;
    if (program_)
        program_->Stop(SIGKILL);
}

const std::string &SimRig::Port() const
{
    static const std::string none;
    return program_ ? program_->PortPath() : none;
}

KYT_STATUS SimRig::PowerOn(KYT_ULONG slot)
{
    KYT_STATUS status;
    Atr(slot, &status);
    return status;
}

KYT_STATUS SimRig::Exchange(KYT_ULONG slot, const Bytes &apdu, Bytes *response)
{
    KYT_STATUS status;
    *response = Answer(slot, apdu, &status);
    return status;
}

KYT_STATUS SimRig::SelectMf()
{
    Bytes response;
    KYT_STATUS status = Exchange(0, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, &response);
    if (status == KYT_SUCCESS) {
        EXPECT_EQ(response, (Bytes{0x90, 0x00}));
    }
    return status;
}

SimRig::Bytes SimRig::Atr(KYT_ULONG slot, KYT_STATUS *status)
{
    KYT_STATUS result;
    Bytes atr = rig::PowerOn(handle_, slot, &result);
    if (status != nullptr)
        *status = result;
    else
        EXPECT_EQ(result, KYT_SUCCESS) << "power-on of slot " << slot;
    return atr;
}

SimRig::Bytes SimRig::Answer(KYT_ULONG slot, const Bytes &apdu, KYT_STATUS *status)
{
    KYT_STATUS result;
    Bytes response = rig::Exchange(handle_, slot, apdu, &result);
    if (status != nullptr)
        *status = result;
    else
        EXPECT_EQ(result, KYT_SUCCESS) << "APDU to slot " << slot;
    return response;
}

} // namespace rig
