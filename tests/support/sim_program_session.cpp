#include "sim_program_session.h"

#include <csignal>

namespace rig {

std::string StatusPart(const std::string &status, const std::string &name)
{
    size_t start = status.find("; " + name + ": ");
    if (start == std::string::npos)
        return "";
    start += name.size() + 4;
    return status.substr(start, status.find("; ", start) - start);
}

void SimProgramSession::Spawn(const std::vector<std::string> &args, std::string *port)
{
    std::signal(SIGPIPE, SIG_IGN);
    program_ = rig::Spawn(args, Input::Pipe);
    ASSERT_GT(program_.pid, 0);
    *port = ReadyPort(program_);
    ASSERT_FALSE(port->empty());
}

void SimProgramSession::Start(const std::vector<std::string> &args, KYT_ULONG timeoutMs, KYT_ULONG retries)
{
    std::string port;
    ASSERT_NO_FATAL_FAILURE(Spawn(args, &port));
    ASSERT_EQ(KYT_OpenA(port.c_str(), &handle_), 0UL);
    KYT_TIMEOUTS timeouts = {timeoutMs, retries, timeoutMs, retries};
    ASSERT_EQ(KYT_SetTimeouts(handle_, &timeouts), 0UL);
}

void SimProgramSession::TearDown()
{
    if (handle_ != nullptr) {
        EXPECT_EQ(KYT_Close(handle_), 0UL);
    }
    if (program_.pid > 0) {
        kill(program_.pid, SIGTERM);
        EXPECT_EQ(Wait(program_), 0);
    }
}

KYT_STATUS SimProgramSession::PowerOn(KYT_ULONG slot)
{
    KYT_ULONG length = 64;
    return KYT_PowerOnIcc(handle_, slot, nullptr, &length);
}

KYT_STATUS SimProgramSession::Exchange(KYT_ULONG slot, const Bytes &apdu, Bytes *response)
{
    unsigned char buffer[300];
    KYT_ULONG length = sizeof buffer;
    KYT_STATUS status = KYT_ExchangeApdu(handle_, slot, apdu.data(), apdu.size(), buffer, &length);
    response->assign(buffer, buffer + (status == 0 ? length : 0));
    return status;
}

KYT_STATUS SimProgramSession::SelectMf()
{
    Bytes response;
    KYT_STATUS status = Exchange(0, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00}, &response);
    if (status == 0) {
        EXPECT_EQ(response, (Bytes{0x90, 0x00}));
    }
    return status;
}

} // namespace rig
