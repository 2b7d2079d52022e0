#include "menus.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console.h"
#include "hex.h"
#include "messages.h"
#include "script.h"

namespace {

// The firmware version query: an escape command to slot 0 whose reply is
// five header bytes followed by the version text.
constexpr unsigned char kFirmwareCommand[] = {0xE0, 0x00, 0x00, 0x18, 0x00};
constexpr KYT_ULONG kFirmwareReplySize = 35;
constexpr KYT_ULONG kFirmwareHeaderLength = 5;

// The card menu's buffer holds the ATR or a script file name.
constexpr size_t kCardBufferSize = kScriptNameSize;
constexpr KYT_ULONG kAtrCapacity = 64;

void PrintMenuTitle(const char *title)
{
    puts(title);
    for (size_t i = 0; i < strlen(title); i++)
        putchar('-');
    printf("\n\n");
}

// The exit entry, the prompt and the choice; an empty line follows.
int AskMenuChoice()
{
    puts("0. Exit\n");
    printf("Select an option: ");
    int choice = ReadMenuChoice();
    printf("\n");
    return choice;
}

// Run after every entry that performed an operation.
void ActionTail()
{
    printf("\n");
    SkipLine();
    WaitForEnter();
}

// Prompts until a number is given; false at the end of input.
bool PromptNumber(const char *prompt, int *value)
{
    for (;;) {
        printf("%s", prompt);
        switch (ReadNumber(value)) {
        case NumberInput::Number:
            return true;
        case NumberInput::NotNumber:
            break;
        case NumberInput::EndOfInput:
            printf("\n");
            return false;
        }
    }
}

// Shows the slot count and asks for a slot of this reader; false when the
// menu is to be left at once.
bool SelectSlot(ReaderHandle hReader, int *slot)
{
    KYT_ULONG numSlots = 0;
    puts("Getting the number of slots...");
    KYT_STATUS status = KYT_GetNumSlots(hReader, &numSlots);
    if (status != 0) {
        PrintFailure("KYT_GetNumSlots", status);
        printf("\n");
        return false;
    }
    printf("Slots: %d\n\n", static_cast<int>(numSlots));
    if (numSlots == 0) {
        printf("Error: The reader has no slots\n\n"); // no slot could ever be chosen
        return false;
    }
    int chosen = -1;
    for (;;) {
        printf("Enter a slot number [0 - %d]: ", static_cast<int>(numSlots) - 1);
        NumberInput input = ReadNumber(&chosen);
        if (input == NumberInput::EndOfInput) {
            printf("\n");
            return false;
        }
        if (input == NumberInput::Number && chosen >= 0 && static_cast<KYT_ULONG>(chosen) < numSlots)
            break;
    }
    printf("\n");
    *slot = chosen;
    return true;
}

void SetBaudRateEntry(ReaderHandle hReader)
{
    int speed = 0;
    if (!PromptNumber("Enter a baud rate: ", &speed))
        return;
    printf("\n");
    puts("Setting the baud rate...");
    // Not checked here: the library refuses the speeds it does not support.
    KYT_STATUS status = KYT_SetBaudRate(hReader, static_cast<KYT_ULONG>(speed));
    if (status == 0)
        puts("KYT_SetBaudRate: OK");
    else
        PrintFailure("KYT_SetBaudRate", status);
    ActionTail();
}

// The field of the record that timeouts-menu entry 1 to 4 replaces.
KYT_ULONG *TimeoutField(KYT_TIMEOUTS *timeouts, int entry, const char **prompt)
{
    switch (entry) {
    case 1:
        *prompt = "Enter a status timeout (ms): ";
        return &timeouts->statusTimeout;
    case 2:
        *prompt = "Enter a number of status retries: ";
        return &timeouts->statusRetries;
    case 3:
        *prompt = "Enter a response timeout (ms): ";
        return &timeouts->responseTimeout;
    case 4:
        *prompt = "Enter a number of response retries: ";
        return &timeouts->responseRetries;
    default:
        return nullptr;
    }
}

// Sends the record as read before the display with one field replaced.
void SetTimeoutEntry(ReaderHandle hReader, KYT_TIMEOUTS timeouts, int entry)
{
    const char *prompt = nullptr;
    KYT_ULONG *field = TimeoutField(&timeouts, entry, &prompt);
    int value = 0;
    if (field == nullptr || !PromptNumber(prompt, &value))
        return;
    *field = static_cast<KYT_ULONG>(value);
    printf("\n");
    puts("Setting the timeouts...");
    KYT_STATUS status = KYT_SetTimeouts(hReader, &timeouts);
    if (status == 0)
        puts("KYT_SetTimeouts: OK");
    else
        PrintFailure("KYT_SetTimeouts", status);
    ActionTail();
}

void PowerOnEntry(ReaderHandle hReader, int slot, unsigned char *buffer)
{
    printf("Slot %d: Powering on the ICC...\n", slot);
    KYT_ULONG atrLength = kAtrCapacity;
    KYT_STATUS status = KYT_PowerOnIcc(hReader, static_cast<KYT_ULONG>(slot), buffer, &atrLength);
    if (status != 0) {
        PrintFailure("KYT_PowerOnIcc", status);
    } else if (atrLength > kAtrCapacity) {
        puts(kMsgBadLength); // more than the buffer offered: never printed from it
    } else {
        puts("ATR:");
        PrintHex(buffer, atrLength);
    }
    ActionTail();
}

void PowerOffEntry(ReaderHandle hReader, int slot)
{
    printf("Slot %d: Powering off the ICC...\n", slot);
    KYT_STATUS status = KYT_PowerOffIcc(hReader, static_cast<KYT_ULONG>(slot));
    if (status == 0)
        printf("KYT_PowerOffIcc: OK\n");
    else
        PrintFailure("KYT_PowerOffIcc", status);
    ActionTail();
}

void SetProtocolEntry(ReaderHandle hReader, int slot)
{
    int protocol = SelectProtocol();
    if (protocol == 0)
        return;
    printf("Slot %d: Setting the protocol...\n", slot);
    KYT_ULONG active = 0;
    KYT_STATUS status =
        KYT_SetProtocol(hReader, static_cast<KYT_ULONG>(slot), static_cast<KYT_ULONG>(protocol), &active);
    if (status == 0)
        printf("Active Protocol: %s\n", ProtocolName(active));
    else
        PrintFailure("KYT_SetProtocol", status);
    ActionTail();
}

void IccStatusEntry(ReaderHandle hReader, int slot)
{
    printf("Slot %d: Getting the ICC status...\n", slot);
    KYT_ULONG iccStatus = KYT_ICC_UNKNOWN;
    KYT_STATUS status = KYT_GetIccStatus(hReader, static_cast<KYT_ULONG>(slot), &iccStatus);
    if (status == 0)
        printf("ICC Status: %s\n", IccStatusName(iccStatus));
    else
        PrintFailure("KYT_GetIccStatus", status);
    ActionTail();
}

// Asks for a script and runs it; the name line has been read whole, so the
// pause needs no SkipLine.
void ScriptEntry(ReaderHandle hReader, int slot, char *name, const char *announcement, ScriptTransmitFn transmit)
{
    SkipLine(); // the rest of the option's line
    if (!PromptScriptName(name))
        return;
    printf("Slot %d: %s\n", slot, announcement);
    RunScript(hReader, static_cast<KYT_ULONG>(slot), name, transmit);
    printf("\n");
    WaitForEnter();
}

} // namespace

const char *ProtocolName(KYT_ULONG protocol)
{
    if (protocol == KYT_PROTOCOL_T0)
        return "T=0";
    if (protocol == KYT_PROTOCOL_T1)
        return "T=1";
    return "Unknown";
}

const char *IccStatusName(KYT_ULONG status)
{
    switch (status) {
    case KYT_ICC_ABSENT:
        return "Absent";
    case KYT_ICC_PRESENT:
        return "Present";
    case KYT_ICC_POWERED:
        return "Powered";
    default:
        return "Unknown";
    }
}

char *GetFirmwareVersion(ReaderHandle hReader)
{
    unsigned char reply[kFirmwareReplySize];
    KYT_ULONG returned = kFirmwareReplySize;
    KYT_STATUS status = KYT_Control(hReader, 0, KYT_IOCTL_ESCAPE, kFirmwareCommand, sizeof(kFirmwareCommand), reply,
                                    kFirmwareReplySize, &returned);
    if (status != 0) {
        PrintFailure("KYT_Control", status);
        return nullptr;
    }
    // A length beyond the reply buffer would read past it.
    if (returned <= kFirmwareHeaderLength || returned > kFirmwareReplySize) {
        puts(kMsgBadLength);
        return nullptr;
    }
    size_t textLength = returned - kFirmwareHeaderLength;
    char *text = static_cast<char *>(malloc(textLength + 1));
    if (text == nullptr) {
        puts(kMsgNoMemory);
        return nullptr;
    }
    memcpy(text, reply + kFirmwareHeaderLength, textLength);
    text[textLength] = '\0';
    return text;
}

void ShowModuleMenu(ReaderHandle hReader)
{
    for (;;) {
        PrintMenuTitle("Modules");
        puts("1. Reader");
        puts("2. Card");
        puts("3. Peripheral");
        switch (AskMenuChoice()) {
        case 0:
            return;
        case 1:
            ShowReaderMenu(hReader);
            break;
        case 2:
            ShowCardMenu(hReader);
            break;
        case 3:
            ShowPeripheralMenu(hReader);
            break;
        default:
            break;
        }
    }
}

void ShowReaderMenu(ReaderHandle hReader)
{
    for (;;) {
        KYT_ULONG speed = 0;
        puts("Getting the baud rate...");
        KYT_STATUS status = KYT_GetBaudRate(hReader, &speed);
        if (status == 0) {
            puts("KYT_GetBaudRate: OK");
        } else {
            PrintFailure("KYT_GetBaudRate", status);
            speed = 0;
        }
        printf("\n");

        PrintMenuTitle("Reader");
        printf("1. Baud Rate (%d bps)\n", static_cast<int>(speed));
        puts("2. Timeouts");
        switch (AskMenuChoice()) {
        case 0:
            return;
        case 1:
            SetBaudRateEntry(hReader);
            break;
        case 2:
            ShowTimeoutsMenu(hReader);
            break;
        default:
            break;
        }
    }
}

void ShowTimeoutsMenu(ReaderHandle hReader)
{
    for (;;) {
        KYT_TIMEOUTS timeouts = {0, 0, 0, 0};
        puts("Getting the timeouts...");
        KYT_STATUS status = KYT_GetTimeouts(hReader, &timeouts);
        if (status == 0) {
            puts("KYT_GetTimeouts: OK");
        } else {
            PrintFailure("KYT_GetTimeouts", status);
            timeouts = {0, 0, 0, 0};
        }
        printf("\n");

        PrintMenuTitle("Timeouts");
        printf("1. Status Timeout   (%d ms)\n", static_cast<int>(timeouts.statusTimeout));
        printf("2. Status Retries   (%d)\n", static_cast<int>(timeouts.statusRetries));
        printf("3. Response Timeout (%d ms)\n", static_cast<int>(timeouts.responseTimeout));
        printf("4. Response Retries (%d)\n", static_cast<int>(timeouts.responseRetries));
        int choice = AskMenuChoice();
        if (choice == 0)
            return;
        SetTimeoutEntry(hReader, timeouts, choice); // ignores choices that name no entry
    }
}

int SelectProtocol()
{
    for (;;) {
        PrintMenuTitle("Protocol");
        puts("1. T=0");
        puts("2. T=1");
        puts("3. T=0 or T=1");
        int choice = AskMenuChoice();
        if (choice >= 0 && choice <= 3)
            return choice;
    }
}

void ShowCardMenu(ReaderHandle hReader)
{
    int slot = 0;
    if (!SelectSlot(hReader, &slot))
        return;
    unsigned char buffer[kCardBufferSize];
    char *name = reinterpret_cast<char *>(buffer);
    for (;;) {
        PrintMenuTitle("Card");
        printf("Slot %d:\n\n", slot);
        puts("1. Power On ICC");
        puts("2. Power Off ICC");
        puts("3. Set Protocol");
        puts("4. Get ICC Status");
        puts("5. Exchange APDU");
        switch (AskMenuChoice()) {
        case 0:
            return;
        case 1:
            PowerOnEntry(hReader, slot, buffer);
            break;
        case 2:
            PowerOffEntry(hReader, slot);
            break;
        case 3:
            SetProtocolEntry(hReader, slot);
            break;
        case 4:
            IccStatusEntry(hReader, slot);
            break;
        case 5:
            ScriptEntry(hReader, slot, name, "Exchanging the APDU...", TransmitApdu);
            break;
        default:
            break;
        }
    }
}

void ShowPeripheralMenu(ReaderHandle hReader)
{
    int slot = 0;
    if (!SelectSlot(hReader, &slot))
        return;
    char name[kScriptNameSize];
    for (;;) {
        PrintMenuTitle("Peripheral");
        printf("Slot %d:\n\n", slot);
        puts("1. Control");
        switch (AskMenuChoice()) {
        case 0:
            return;
        case 1:
            ScriptEntry(hReader, slot, name, "Sending the escape command...", TransmitControl);
            break;
        default:
            break;
        }
    }
}
