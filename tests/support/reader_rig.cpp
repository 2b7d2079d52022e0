#include "reader_rig.h"

#include <dirent.h>

#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

namespace rig {

std::unique_ptr<kytsim::SimReader> StartSim(const kytsim::Config &config)
{
    auto sim = std::make_unique<kytsim::SimReader>(config);
    std::string error;
    if (!sim->Start(&error)) {
        ADD_FAILURE() << "simulated reader did not start: " << error;
        return nullptr;
    }
    return sim;
}

ReaderHandle Open(kytsim::SimReader &sim)
{
    ReaderHandle handle = nullptr;
    KYT_STATUS status = KYT_OpenA(sim.PortPath().c_str(), &handle);
    if (status != 0) {
        ADD_FAILURE() << "KYT_OpenA failed with " << std::hex << status;
        return nullptr;
    }
    return handle;
}

kytsim::Bytes PowerOn(ReaderHandle handle, KYT_ULONG slot, KYT_STATUS *status)
{
    unsigned char atr[64];
    KYT_ULONG length = sizeof atr;
    *status = KYT_PowerOnIcc(handle, slot, atr, &length);
    return *status == KYT_SUCCESS ? kytsim::Bytes(atr, atr + length) : kytsim::Bytes();
}

kytsim::Bytes Exchange(ReaderHandle handle, KYT_ULONG slot, const kytsim::Bytes &apdu, KYT_STATUS *status)
{
    kytsim::Bytes response(65536 + 2); // the longest response APDU
    KYT_ULONG length = response.size();
    *status = KYT_ExchangeApdu(handle, slot, apdu.data(), apdu.size(), response.data(), &length);
    response.resize(*status == KYT_SUCCESS ? length : 0);
    return response;
}

void ShortenTimeouts(ReaderHandle handle, KYT_ULONG statusMs, KYT_ULONG responseMs)
{
    KYT_TIMEOUTS timeouts = {statusMs, 1, responseMs, 1};
    EXPECT_EQ(KYT_SetTimeouts(handle, &timeouts), 0UL);
}

ExchangeProgress ProgressOf(const kytsim::SimReader &sim)
{
    constexpr size_t kAcknowledgeSize = 4;
    ExchangeProgress progress;
    for (const kytsim::LogEntry &entry : sim.Log()) {
        if (entry.direction == kytsim::Direction::HostToReader)
            progress.commandIn = true;
        else if (entry.bytes.size() == kAcknowledgeSize)
            progress.acknowledged = true;
        else
            progress.answered = true;
    }
    return progress;
}

bool AwaitProgress(const kytsim::SimReader &sim, bool (*reached)(const ExchangeProgress &),
                   std::chrono::milliseconds limit)
{
    auto giveUp = std::chrono::steady_clock::now() + limit;
    while (!reached(ProgressOf(sim))) {
        if (std::chrono::steady_clock::now() >= giveUp)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::vector<kytsim::Bytes> CommandsOfType(const kytsim::SimReader &sim, uint8_t type)
{
    std::vector<kytsim::Bytes> matching;
    for (const kytsim::Bytes &message : sim.Commands()) {
        if (!message.empty() && message[0] == type)
            matching.push_back(message);
    }
    return matching;
}

int OpenDescriptorCount()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (readdir(dir) != nullptr)
        count++;
    closedir(dir);
    return count;
}

kytsim::Bytes Hex(const char *text)
{
    kytsim::Bytes bytes;
    unsigned value = 0;
    int consumed = 0;
    while (std::sscanf(text, " %2x%n", &value, &consumed) == 1) {
        bytes.push_back(static_cast<uint8_t>(value));
        text += consumed;
    }
    return bytes;
}

kytsim::Card PlainCard()
{
    // TS 3B; T0 5F: TA1 and TC1 present, no TD (T=0 only, so no check byte),
    // fifteen historical bytes.
    kytsim::Card card;
    card.atr = {0x3B, 0x5F, 0x11, 0x00};
    for (uint8_t i = 0; i < 15; i++)
        card.atr.push_back(static_cast<uint8_t>(0x40 + i));
    return card;
}

kytsim::Card EchoCard()
{
    kytsim::Card card = PlainCard();
    card.handler = [](const kytsim::Bytes &apdu) {
        kytsim::Bytes response = apdu;
        response.push_back(0x90);
        response.push_back(0x00);
        return response;
    };
    return card;
}

} // namespace rig
