// CCID commands of the reader other than the APDU exchange: power on and
// off, slot status, vendor escape and the protocol parameters.
//
// Each command builds its 10-byte header, taking the next sequence number,
// sends the message through CCID_Transceive and checks the reader's answer
// with CCID_CheckResponse before it uses any of it.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "message.h"

namespace {

// PC_to_RDR_SetParameters: bProtocolNum, and the offsets of its fields in
// the message.
constexpr uint8_t PROTOCOL_NUM_T0 = 0;
constexpr uint8_t PROTOCOL_NUM_T1 = 1;
constexpr unsigned SETPARAM_OFFSET_FIDI = 10;      // bmFindexDindex
constexpr unsigned SETPARAM_OFFSET_TCCKS = 11;     // bmTCCKST0 / bmTCCKST1
constexpr unsigned SETPARAM_OFFSET_GUARD = 12;     // bGuardTimeT0 / bGuardTimeT1
constexpr unsigned SETPARAM_OFFSET_WAITING = 13;   // bWaitingIntegerT0 / bmWaitingIntegersT1
constexpr unsigned SETPARAM_OFFSET_CLOCKSTOP = 14; // bClockStop
constexpr unsigned SETPARAM_OFFSET_IFSC = 15;      // bIFSC, T=1 only
constexpr unsigned SETPARAM_OFFSET_NAD = 16;       // bNadValue, T=1 only
constexpr uint32_t T0_DATA_LENGTH = 5;
constexpr uint32_t T1_DATA_LENGTH = 7;
constexpr unsigned SETPARAM_MAX_MESSAGE = CCID_HEADER_SIZE + T1_DATA_LENGTH;
// RDR_to_PC_Parameters echoes at most the T=1 structure.
constexpr unsigned PARAMETERS_MAX_RESPONSE = CCID_HEADER_SIZE + T1_DATA_LENGTH;

constexpr uint8_t TCCKS_INVERSE_CONVENTION = 0x02; // bit 1: convention
constexpr uint8_t TCCKST1_BASE = 0x10;             // bits 7 to 2 of bmTCCKST1 read 000100b
constexpr uint8_t TCCKST1_CRC = 0x01;              // bit 0: checksum type
constexpr uint8_t CLOCK_STOP_NOT_ALLOWED = 0x00;
constexpr uint8_t NAD_DEFAULT = 0x00;
constexpr unsigned NIBBLE_SHIFT = 4;
constexpr uint8_t LOW_NIBBLE = 0x0F;

// An IFSC of 0 or 255 is not valid (ISO/IEC 7816-3 11.4.2); the default
// of 32 stands in for it.
constexpr uint8_t IFSC_INVALID_LOW = 0x00;
constexpr uint8_t IFSC_INVALID_HIGH = 0xFF;
constexpr uint8_t IFSC_DEFAULT = 32;

// The commands without data: a 10-byte message and a 10-byte slot status
// answer, both on the stack.
int SlotStatusCommand(CcidLink *link, uint8_t type, uint8_t *status)
{
    uint8_t message[CCID_HEADER_SIZE];
    uint8_t reply[CCID_HEADER_SIZE];
    KYT_ULONG replyLength = sizeof reply;
    CCID_BuildHeader(link, message, type, 0, 0, 0, 0);
    int result = CCID_Exchange(link, message, sizeof message, reply, &replyLength, RDR_TO_PC_SLOTSTATUS);
    if (result == 0 || result == ENOMEDIUM)
        *status = reply[CCID_OFFSET_STATUS];
    return result;
}

uint8_t Nibbles(uint8_t high, uint8_t low)
{
    return static_cast<uint8_t>(((high & LOW_NIBBLE) << NIBBLE_SHIFT) | (low & LOW_NIBBLE));
}

uint8_t ConventionBit(const CcidProtocolParameters *parameters)
{
    return parameters->inverseConvention ? TCCKS_INVERSE_CONVENTION : 0;
}

// The T=0 structure, after the header and bmFindexDindex (inv: 02 for the
// inverse convention, else 00):
//
//   offset  11          12             13                  14
//         +-----------+--------------+-------------------+------------+
//         | bmTCCKST0 | bGuardTimeT0 | bWaitingIntegerT0 | bClockStop |
//         | inv       | N            | WI                | 00         |
//         +-----------+--------------+-------------------+------------+
void BuildT0Data(uint8_t *message, const CcidProtocolParameters *parameters)
{
    message[SETPARAM_OFFSET_TCCKS] = ConventionBit(parameters);
    message[SETPARAM_OFFSET_GUARD] = parameters->extraGuardTime;
    message[SETPARAM_OFFSET_WAITING] = parameters->t0WaitingInteger;
    message[SETPARAM_OFFSET_CLOCKSTOP] = CLOCK_STOP_NOT_ALLOWED;
}

// The T=1 structure, after the header and bmFindexDindex (inv as for T=0;
// EDC 1 for CRC, 0 for LRC; an invalid IFSC of 00 or FF goes out as 32):
//
//   offset  11               12             13                    14           15      16
//         +----------------+--------------+---------------------+------------+-------+-----------+
//         | bmTCCKST1      | bGuardTimeT1 | bmWaitingIntegersT1 | bClockStop | bIFSC | bNadValue |
//         | 10 | inv | EDC | N            | BWI << 4 | CWI      | 00         | IFSC  | 00        |
//         +----------------+--------------+---------------------+------------+-------+-----------+
void BuildT1Data(uint8_t *message, const CcidProtocolParameters *parameters)
{
    bool ifscInvalid = parameters->t1Ifsc == IFSC_INVALID_LOW || parameters->t1Ifsc == IFSC_INVALID_HIGH;
    message[SETPARAM_OFFSET_TCCKS] =
        static_cast<uint8_t>(TCCKST1_BASE | ConventionBit(parameters) | (parameters->t1Edc & TCCKST1_CRC));
    message[SETPARAM_OFFSET_GUARD] = parameters->extraGuardTime;
    message[SETPARAM_OFFSET_WAITING] = Nibbles(parameters->t1Bwi, parameters->t1Cwi);
    message[SETPARAM_OFFSET_CLOCKSTOP] = CLOCK_STOP_NOT_ALLOWED;
    message[SETPARAM_OFFSET_IFSC] = ifscInvalid ? IFSC_DEFAULT : parameters->t1Ifsc;
    message[SETPARAM_OFFSET_NAD] = NAD_DEFAULT;
}

// The parameter structure of each protocol the reader takes parameters for.
struct ParameterLayout {
    KYT_ULONG protocol;
    uint8_t protocolNum;
    uint32_t dataLength;
    void (*buildData)(uint8_t *message, const CcidProtocolParameters *parameters);
};

constexpr ParameterLayout PARAMETER_LAYOUTS[] = {
    {KYT_PROTOCOL_T0, PROTOCOL_NUM_T0, T0_DATA_LENGTH, BuildT0Data},
    {KYT_PROTOCOL_T1, PROTOCOL_NUM_T1, T1_DATA_LENGTH, BuildT1Data},
};

const ParameterLayout *LayoutFor(KYT_ULONG protocol)
{
    for (const ParameterLayout &layout : PARAMETER_LAYOUTS) {
        if (layout.protocol == protocol)
            return &layout;
    }
    return nullptr;
}

} // namespace

int CCID_IccPowerOn(CcidLink *link, uint8_t *atr, KYT_ULONG *atrLength)
{
    KYT_ULONG replyLength;
    if (!CCID_ReplySize(*atrLength, &replyLength))
        return ENOMEM;
    uint8_t *reply = static_cast<uint8_t *>(malloc(replyLength));
    if (reply == nullptr)
        return ENOMEM;

    uint8_t message[CCID_HEADER_SIZE];
    CCID_BuildHeader(link, message, PC_TO_RDR_ICCPOWERON, 0, link->powerSelect, 0, 0);
    int result = CCID_Exchange(link, message, sizeof message, reply, &replyLength, RDR_TO_PC_DATABLOCK);
    if (result == 0)
        result = CCID_CopyResponseData(reply, replyLength, atr, atrLength);

    free(reply);
    return result;
}

int CCID_IccPowerOff(CcidLink *link)
{
    uint8_t status;
    return SlotStatusCommand(link, PC_TO_RDR_ICCPOWEROFF, &status);
}

// The card status is reported when the reader answered the question, which
// includes its "no card" answer.
int CCID_GetSlotStatus(CcidLink *link, uint8_t *cardStatus)
{
    uint8_t status;
    int result = SlotStatusCommand(link, PC_TO_RDR_GETSLOTSTATUS, &status);
    if (result == 0 || result == ENOMEDIUM)
        *cardStatus = status & CCID_ICC_STATUS_MASK;
    return result;
}

// An escape command always travels in one message, however long.
int CCID_Escape(CcidLink *link, const uint8_t *command, KYT_ULONG commandLength, uint8_t *response,
                KYT_ULONG *responseLength)
{
    if (commandLength > CCID_MAX_DATA_LENGTH)
        return E2BIG;
    CcidBuffers buffers;
    int result = CCID_AllocateBuffers(commandLength, *responseLength, &buffers);
    if (result != 0)
        return result;

    CCID_BuildHeader(link, buffers.message, PC_TO_RDR_ESCAPE, static_cast<uint32_t>(commandLength), 0, 0, 0);
    if (commandLength > 0)
        memcpy(buffers.message + CCID_HEADER_SIZE, command, commandLength);
    KYT_ULONG replyLength = buffers.replySize;
    result = CCID_Exchange(link, buffers.message, commandLength + CCID_HEADER_SIZE, buffers.reply, &replyLength,
                           RDR_TO_PC_ESCAPE);
    if (result != 0)
        return result;
    return CCID_CopyResponseData(buffers.reply, replyLength, response, responseLength);
}

// PC_to_RDR_SetParameters: the header's command bytes carry bProtocolNum and
// two reserved zeros, then come the negotiated factors and the protocol's
// own structure:
//
//   offset  0    1 .. 4   5       6      7              8 .. 9   10               11 ...
//         +----+--------+-------+------+--------------+--------+----------------+------------+
//         | 61 | 5 or 7 | bSlot | bSeq | bProtocolNum | abRFU  | bmFindexDindex | T=0 or T=1 |
//         |    |        |       |      | 0 or 1       | 00 00  | Fi << 4 | Di   | structure  |
//         +----+--------+-------+------+--------------+--------+----------------+------------+
//
// The parameters the reader echoes in its answer are not compared with
// those sent.
int CCID_SetParameters(CcidLink *link, const CcidProtocolParameters *parameters)
{
    const ParameterLayout *layout = LayoutFor(parameters->protocol);
    if (layout == nullptr) {
        // Nothing to send; the request still uses up its sequence number,
        // as every message whose header is built does.
        uint8_t unsent[CCID_HEADER_SIZE];
        CCID_BuildHeader(link, unsent, PC_TO_RDR_SETPARAMETERS, 0, 0, 0, 0);
        return EIO;
    }

    uint8_t message[SETPARAM_MAX_MESSAGE];
    CCID_BuildHeader(link, message, PC_TO_RDR_SETPARAMETERS, layout->dataLength, layout->protocolNum, 0, 0);
    message[SETPARAM_OFFSET_FIDI] = Nibbles(parameters->fiIndex, parameters->diIndex);
    layout->buildData(message, parameters);

    uint8_t reply[PARAMETERS_MAX_RESPONSE];
    KYT_ULONG replyLength = sizeof reply;
    return CCID_Exchange(link, message, CCID_HEADER_SIZE + layout->dataLength, reply, &replyLength,
                         RDR_TO_PC_PARAMETERS);
}
