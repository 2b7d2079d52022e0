// kyt_pcsc_bench: the same APDUs timed through pcscd with the KYT handler
// (SCardTransmit) and straight through the library (KYT_ExchangeApdu), on
// the same paced simulated reader.  Run by scripts/bench-pcsc.sh, which
// starts the simulator and a private pcscd.
//
//   kyt_pcsc_bench --direct PORT [--runs N]
//   kyt_pcsc_bench --pcsc READER [--runs N]
//
// Prints one line per APDU: its name, the number of runs and the median
// time per exchange in milliseconds.  Exits non-zero when a call fails.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <winscard.h>

#include "kyt.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<unsigned char>;

struct Apdu {
    const char *name;
    Bytes bytes;
};

// SELECT of the demo card's root file, and a 261-byte UPDATE BINARY: what
// the card answers does not matter, only that both roads carry the same.
std::vector<Apdu> Apdus()
{
    Bytes update = {0x00, 0xD6, 0x00, 0x00, 0xFF};
    while (update.size() < 261)
        update.push_back(static_cast<unsigned char>(update.size()));
    return {{"apdu-7", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}}, {"apdu-261", update}};
}

[[noreturn]] void Die(const std::string &what)
{
    std::fprintf(stderr, "kyt_pcsc_bench: %s\n", what.c_str());
    std::exit(1);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

template <typename Transmit>
void Run(unsigned runs, Transmit transmit)
{
    for (const Apdu &apdu : Apdus()) {
        transmit(apdu.bytes); // not timed
        std::vector<double> times;
        for (unsigned i = 0; i < runs; i++) {
            Clock::time_point start = Clock::now();
            transmit(apdu.bytes);
            times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        std::printf("%s %u %.3f\n", apdu.name, runs, Median(times));
    }
}

void Direct(const char *port, unsigned runs)
{
    ReaderHandle handle = nullptr;
    KYT_STATUS status = KYT_OpenA(port, &handle);
    if (status != 0)
        Die("KYT_OpenA failed with " + std::to_string(status));
    unsigned char atr[64];
    KYT_ULONG atrLength = sizeof atr;
    KYT_ULONG active = 0;
    if ((status = KYT_PowerOnIcc(handle, 0, atr, &atrLength)) != 0 ||
        (status = KYT_SetProtocol(handle, 0, KYT_PROTOCOL_T1, &active)) != 0)
        Die("power-on or protocol selection failed with " + std::to_string(status));
    Run(runs, [&](const Bytes &apdu) {
        unsigned char response[300];
        KYT_ULONG length = sizeof response;
        KYT_STATUS s = KYT_ExchangeApdu(handle, 0, apdu.data(), apdu.size(), response, &length);
        if (s != 0)
            Die("KYT_ExchangeApdu failed with " + std::to_string(s));
    });
    KYT_Close(handle);
}

void ThroughPcscd(const char *reader, unsigned runs)
{
    SCARDCONTEXT context;
    LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (rv != SCARD_S_SUCCESS)
        Die(std::string("SCardEstablishContext: ") + pcsc_stringify_error(rv));
    SCARDHANDLE card;
    DWORD active = 0;
    // pcscd may still be powering the card when it lists the reader.
    for (int attempt = 0; attempt < 50; attempt++) {
        rv = SCardConnect(context, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &card, &active);
        if (rv == SCARD_S_SUCCESS)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (rv != SCARD_S_SUCCESS)
        Die(std::string("SCardConnect: ") + pcsc_stringify_error(rv));
    Run(runs, [&](const Bytes &apdu) {
        unsigned char response[300];
        DWORD length = sizeof response;
        LONG r =
            SCardTransmit(card, SCARD_PCI_T1, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, response, &length);
        if (r != SCARD_S_SUCCESS)
            Die(std::string("SCardTransmit: ") + pcsc_stringify_error(r));
    });
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);
}

} // namespace

int main(int argc, char **argv)
{
    const char *direct = nullptr;
    const char *reader = nullptr;
    unsigned runs = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--direct") == 0)
            direct = argv[i + 1];
        else if (std::strcmp(argv[i], "--pcsc") == 0)
            reader = argv[i + 1];
        else if (std::strcmp(argv[i], "--runs") == 0)
            runs = static_cast<unsigned>(std::max(1, std::atoi(argv[i + 1])));
    }
    if ((direct == nullptr) == (reader == nullptr)) {
        std::fputs("Usage: kyt_pcsc_bench --direct PORT | --pcsc READER [--runs N]\n", stderr);
        return 2;
    }
    if (direct)
        Direct(direct, runs);
    else
        ThroughPcscd(reader, runs);
    return 0;
}
