#include "app.h"

#include <cstdio>
#include <cstdlib>

#include "kyt.h"
#include "menus.h"
#include "messages.h"

namespace {

constexpr const char *kTitle = "KYT API Test Utility Version 1.0.1";
constexpr const char *kNotice = "Exercises the libkyt reader API against one reader.";

// Start-up after a successful open: slot count, line speed, firmware
// version, then the menus.  Any failure ends the run.
void ReportAndRunMenus(ReaderHandle hReader)
{
    puts("Getting the number of slots...");
    KYT_ULONG numSlots = 0;
    KYT_STATUS status = KYT_GetNumSlots(hReader, &numSlots);
    if (status != 0) {
        PrintFailure("KYT_GetNumSlots", status);
        return;
    }
    printf("Slots: %d\n\n", static_cast<int>(numSlots));

    puts("Getting the baud rate...");
    KYT_ULONG speed = 0;
    status = KYT_GetBaudRate(hReader, &speed);
    if (status != 0) {
        PrintFailure("KYT_GetBaudRate", status);
        return;
    }
    printf("Baud Rate: %d bps\n\n", static_cast<int>(speed));

    puts("Getting the firmware version...");
    char *version = GetFirmwareVersion(hReader);
    if (version == nullptr)
        return;
    printf("Firmware Version: %s\n\n", version);
    ShowModuleMenu(hReader);
    free(version);
}

} // namespace

int RunTestUtility(int argc, char **argv)
{
    puts(kTitle);
    puts(kNotice);
    printf("\n");
    if (argc < 2) {
        puts("Usage: kyt_test [port name]");
        return 0;
    }

    const char *portName = argv[1];
    printf("Opening the reader (%s)...\n", portName);
    ReaderHandle hReader = nullptr;
    KYT_STATUS status = KYT_OpenA(portName, &hReader);
    if (status != 0) {
        PrintFailure("KYT_Open", status);
        return 0;
    }
    puts("KYT_Open: OK\n");

    ReportAndRunMenus(hReader);

    printf("Closing the reader (%s)...\n", portName);
    status = KYT_Close(hReader);
    if (status != 0)
        PrintFailure("KYT_Close", status);
    else
        puts("KYT_Close: OK");
    return 0;
}
