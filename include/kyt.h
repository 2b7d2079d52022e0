/*
 * libkyt - access to serial-attached smart-card readers of the KYT family.
 *
 * Every function returns a status: 0 on success, a Linux errno number
 * (EIO, E2BIG, ENOMEM, EINVAL, ETIMEDOUT, or an errno of the operating
 * system) or one of the KYT_ERR_ card codes below.
 *
 * Statuses, slot numbers, lengths, counts, speeds, timeouts and protocol
 * masks are unsigned native words (KYT_ULONG): as wide as a pointer, so
 * 32 bits on 32-bit targets and 64 bits on 64-bit targets.  Card codes such
 * as 0xA0100069 therefore arrive zero-extended on 64-bit targets.
 *
 * In/out length parameters carry the buffer's capacity in and the used
 * length out.  The caller owns every buffer it passes; no memory crosses
 * the interface.
 *
 * Every function may be called from any thread.  Calls on one reader are
 * serialised; calls on different readers run in parallel.  A handle must
 * not be used on another thread while KYT_Close runs on it, nor after.
 */
#ifndef KYT_H
#define KYT_H

#include <stddef.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KYT_API __attribute__((visibility("default")))
#else
#define KYT_API
#endif

/* Unsigned native word: on every Linux ABI (ILP32 and LP64) an unsigned
 * long is exactly as wide as a pointer. */
typedef unsigned long KYT_ULONG;
typedef KYT_ULONG KYT_STATUS;

#if defined(__cplusplus)
static_assert(sizeof(KYT_ULONG) == sizeof(void *), "KYT_ULONG must be pointer-wide");
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(KYT_ULONG) == sizeof(void *), "KYT_ULONG must be pointer-wide");
#endif

/* Opaque handle of an open reader. */
typedef struct ReaderDevice *ReaderHandle;

/* Link timing of one reader (milliseconds and retry counts). */
typedef struct KYT_TIMEOUTS {
    KYT_ULONG statusTimeout;   /* wait for the acknowledge of a command frame */
    KYT_ULONG statusRetries;   /* a command frame is sent up to statusRetries + 1 times */
    KYT_ULONG responseTimeout; /* wait for each part of the response frame */
    KYT_ULONG responseRetries; /* a response is read up to responseRetries + 1 times */
} KYT_TIMEOUTS;

/* Status codes beyond errno. */
#define KYT_SUCCESS               0UL
#define KYT_ERR_PROTO_MISMATCH    0xA010000FUL /* the card offers none of the requested protocols */
#define KYT_ERR_UNSUPPORTED_CARD  0xA0100065UL /* the card's ATR or parameters cannot be used */
#define KYT_ERR_UNRESPONSIVE_CARD 0xA0100066UL /* a card is present but does not answer */
#define KYT_ERR_UNPOWERED_CARD    0xA0100067UL /* the slot holds no powered card */
#define KYT_ERR_REMOVED_CARD      0xA0100069UL /* there is no card in the slot */

/* ICC status values reported by KYT_GetIccStatus. */
#define KYT_ICC_UNKNOWN 0UL
#define KYT_ICC_ABSENT  1UL
#define KYT_ICC_PRESENT 2UL
#define KYT_ICC_POWERED 3UL

/* Protocol masks. */
#define KYT_PROTOCOL_T0            1UL
#define KYT_PROTOCOL_T1            2UL
#define KYT_PROTOCOL_DEFAULT_SPEED 0x80000000UL /* keep Fi/Di 1/1: no speed negotiation */

/* Control code of KYT_Control: pass a vendor escape command to the reader. */
#define KYT_IOCTL_ESCAPE 3500UL

/* ---- Opening and closing ------------------------------------------------
 *
 * KYT_OpenA opens the serial port portName (a null-terminated path such as
 * "/dev/ttyUSB0") at 9600 bit/s, 8N1 without flow control, finds the line
 * speed the reader answers at (up to ten attempts, asking for each speed of
 * the table below in turn), identifies the model from its firmware version
 * (KYT7710P: 2 slots; KYT7710P_V3 and KYT4460P: 3 slots) and stores the new
 * reader's handle through phReader.  The port stays at the speed found.
 * After an open the timeouts are 2000 ms / 1 retry for the acknowledge and
 * 10000 ms / 1 retry for the response.
 *
 * The reader's port is this program's alone until KYT_Close: the open takes
 * an advisory lock on it (flock, which other libkyt programs, picocom and
 * similar tools honour, root included) and sets its exclusive flag
 * (TIOCEXCL, which keeps other programs of ordinary users out).  A port that
 * another program holds fails at once with EBUSY, and nothing is sent to it.
 * Where the port's driver offers it (USB-serial adapters such as FTDI's),
 * the open also asks for low latency; the close puts the flag back.
 *
 *   portName  in   port path; must not be NULL
 *   phReader  out  receives the handle on success only; must not be NULL
 *
 * Returns 0; EINVAL if portName or phReader is NULL; ENOMEM if memory runs
 * out; the operating system's errno if the port cannot be opened or set up
 * (for example ENOENT, EACCES, ENOTTY, or EBUSY for a port in use); EIO if
 * no known reader answered, or the error of the last detection attempt (for
 * example ETIMEDOUT).  On failure nothing stays open.
 */
KYT_API KYT_STATUS KYT_OpenA(const char *portName, ReaderHandle *phReader);
/* KYT_OpenW: KYT_OpenA for a wide-character port name, converted in the
 * current locale.  Same parameters and statuses; EILSEQ when the name cannot
 * be converted. */
KYT_API KYT_STATUS KYT_OpenW(const wchar_t *portName, ReaderHandle *phReader);
/* KYT_Close powers every slot off (ignoring the results), closes the port
 * and frees the reader.  The handle is invalid afterwards; a later open may
 * return the same value for a new reader.
 *
 * Each power-off is an exchange with the reader under the reader's current
 * timeouts, so a reader that has stopped answering holds the call for every
 * slot: with the timeouts after an open, about 4 s a slot for a reader that
 * sends nothing, about 20 s a slot for one that acknowledges and then never
 * answers.  To close such a reader quickly, first set short timeouts and no
 * retries with KYT_SetTimeouts, for example {100, 0, 100, 0}.  (A line that
 * has hung up, such as an unplugged adapter, fails at once.)
 *
 * Returns 0, or EINVAL if hReader is not an open reader's handle.
 */
KYT_API KYT_STATUS KYT_Close(ReaderHandle hReader);
/* KYT_GetNumSlots stores the reader's slot count (2 or 3) through
 * pNumSlots; slots are numbered from 0.
 *
 * Returns 0, or EINVAL for an unknown handle or a NULL pNumSlots.
 */
KYT_API KYT_STATUS KYT_GetNumSlots(ReaderHandle hReader, KYT_ULONG *pNumSlots);

/* ---- Card slots -----------------------------------------------------------
 *
 * The functions below that take a slot return EINVAL, before anything is
 * sent, for an unknown handle, a slot not below the slot count, or a NULL
 * or zero argument that the function needs.  Link failures are EIO (no or
 * bad acknowledge or response frame, refused message) or ETIMEDOUT (the
 * reader reports a card that does not answer); E2BIG means an answer was
 * longer than the buffer offered for it.
 *
 * KYT_PowerOnIcc powers the card in slot on and returns its answer-to-reset.
 * The slot keeps the ATR for KYT_SetProtocol.
 *
 *   atrBuffer        out     receives the ATR; may be NULL (length only)
 *   atrBufferLength  in/out  in: capacity of atrBuffer (33 bytes hold any
 *                            ATR); out: the ATR length, 0 on failures other
 *                            than E2BIG and EINVAL (an argument error
 *                            leaves it as it was);
 *                            must not be NULL
 *
 * Returns 0; EINVAL; E2BIG if the ATR is longer than the capacity (the
 * length out is the ATR's, nothing is copied, the card is powered and the
 * slot keeps the ATR), or if the reader's answer is longer than the 64
 * bytes the slot can keep, which no ATR is (the length out is then 0 and
 * the slot keeps nothing); KYT_ERR_REMOVED_CARD (no card in the slot);
 * KYT_ERR_UNRESPONSIVE_CARD (a card that does not answer);
 * KYT_ERR_UNSUPPORTED_CARD; EIO, ENOMEM.
 */
KYT_API KYT_STATUS KYT_PowerOnIcc(ReaderHandle hReader, KYT_ULONG slot, unsigned char *atrBuffer,
                                  KYT_ULONG *atrBufferLength);
/* KYT_PowerOffIcc removes power from the card in slot and forgets its ATR
 * (whatever the reader answers).
 *
 * Returns 0; EINVAL; KYT_ERR_REMOVED_CARD; ETIMEDOUT, EIO, E2BIG.
 */
KYT_API KYT_STATUS KYT_PowerOffIcc(ReaderHandle hReader, KYT_ULONG slot);
/* KYT_GetIccStatus asks the reader about slot and stores KYT_ICC_ABSENT,
 * KYT_ICC_PRESENT (inserted, not powered), KYT_ICC_POWERED or
 * KYT_ICC_UNKNOWN through iccStatus (KYT_ICC_UNKNOWN also on every failure
 * after the argument checks).  An absent card clears the slot's ATR.
 *
 *   iccStatus  out  must not be NULL
 *
 * Returns 0; EINVAL; KYT_ERR_REMOVED_CARD; ETIMEDOUT, EIO, E2BIG.
 */
KYT_API KYT_STATUS KYT_GetIccStatus(ReaderHandle hReader, KYT_ULONG slot, KYT_ULONG *iccStatus);
/* KYT_ExchangeApdu sends a command APDU to the powered card in slot and
 * returns its response APDU (data and the two status bytes SW1 SW2).
 * Commands longer than the reader's block size are sent in chained blocks,
 * chained responses are joined.
 *
 *   sendBuffer  in      the command APDU; must not be NULL
 *   sendLength  in      its length; must not be 0
 *   recvBuffer  out     receives the response; must not be NULL
 *   recvLength  in/out  in: capacity of recvBuffer, must not be 0 (65538
 *                       holds the largest response); out: response length;
 *                       must not be NULL
 *
 * Returns 0; EINVAL; E2BIG if the response exceeds the capacity;
 * KYT_ERR_REMOVED_CARD; KYT_ERR_UNSUPPORTED_CARD; ETIMEDOUT (the card does
 * not answer); EIO; ENOMEM.
 */
KYT_API KYT_STATUS KYT_ExchangeApdu(ReaderHandle hReader, KYT_ULONG slot, const unsigned char *sendBuffer,
                                    KYT_ULONG sendLength, unsigned char *recvBuffer, KYT_ULONG *recvLength);
/* KYT_Control passes a vendor escape command to the reader (addressed to
 * slot) and returns the reader's reply.
 *
 * The firmware version query, which the open also sends to find the model:
 * the command E0 00 00 18 00 (the open sends it to slot 0), and a reply of
 * up to 35 bytes:
 *
 *   byte  0 .. 4   5 ...  up to the returned length
 *       +--------+-----------------------------------+
 *       | header | version text, not NUL-terminated  |
 *       +--------+-----------------------------------+
 *
 * The library looks at nothing in bytes 0 to 4.  The text's first
 * characters name the model: "KYT7710P_V3", "KYT7710P" or "KYT4460P".
 *
 *   controlCode    in   must be KYT_IOCTL_ESCAPE
 *   inBuffer       in   the escape command; must not be NULL and must not
 *                       begin with 0x44 (the line speed is changed only by
 *                       KYT_SetBaudRate)
 *   inBufferSize   in   its length; must not be 0
 *   outBuffer      out  receives the reply; must not be NULL
 *   outBufferSize  in   capacity of outBuffer; must not be 0
 *   bytesReturned  out  the reply length, 0 on every failure; may be NULL
 *
 * Returns 0; EINVAL (also for an unknown handle, a slot not below the slot
 * count or another control code); E2BIG if the reply exceeds
 * outBufferSize; EIO, ETIMEDOUT, ENOMEM.  Errors are not mapped to card
 * codes: an empty slot is ENOMEDIUM here, not KYT_ERR_REMOVED_CARD.
 */
KYT_API KYT_STATUS KYT_Control(ReaderHandle hReader, KYT_ULONG slot, KYT_ULONG controlCode,
                               const unsigned char *inBuffer, KYT_ULONG inBufferSize, unsigned char *outBuffer,
                               KYT_ULONG outBufferSize, KYT_ULONG *bytesReturned);
/* KYT_SetProtocol selects the transmission protocol for the card powered in
 * slot, from its ATR.  A card in specific mode keeps the protocol its ATR
 * names, whatever the reader answers to its parameters; a negotiable card
 * gets T=1 if both it and the request allow it, else T=0, with the
 * transmission factors of its ATR (or Fi/Di 1/1 when
 * KYT_PROTOCOL_DEFAULT_SPEED is set).  If the reader refuses a negotiable
 * card's parameters, the card is power-cycled and they are sent once more
 * (not with KYT_PROTOCOL_DEFAULT_SPEED).
 *
 *   preferredProtocols  in   KYT_PROTOCOL_T0 and/or KYT_PROTOCOL_T1, possibly
 *                            with KYT_PROTOCOL_DEFAULT_SPEED (bit 31)
 *   activeProtocol      out  the protocol in force on success, 0 on every
 *                            failure (even an unknown handle); may be NULL.
 *                            A negotiable card gets KYT_PROTOCOL_T0 or
 *                            KYT_PROTOCOL_T1.  A card in the specific mode
 *                            gets the mask of its one protocol, 1 << T for
 *                            the T its ATR names, which need not be T=0 or
 *                            T=1 (4 for T=2, for example); the reader is
 *                            told the parameters of T=0 and T=1 only
 *
 * Returns 0; EINVAL (also when neither T=0 nor T=1 is requested);
 * KYT_ERR_UNPOWERED_CARD if the slot holds no ATR (never powered, powered
 * off, or the card was found absent); KYT_ERR_UNSUPPORTED_CARD for an ATR or
 * parameters that cannot be used; KYT_ERR_PROTO_MISMATCH if the card offers
 * none of the requested protocols; KYT_ERR_REMOVED_CARD; ETIMEDOUT, EIO,
 * E2BIG, ENOMEM; after a power cycle, any status of KYT_PowerOnIcc (for
 * example KYT_ERR_UNRESPONSIVE_CARD).
 */
KYT_API KYT_STATUS KYT_SetProtocol(ReaderHandle hReader, KYT_ULONG slot, KYT_ULONG preferredProtocols,
                                   KYT_ULONG *activeProtocol);

/* ---- Line speed and timeouts ---------------------------------------------
 *
 * Line speeds of the reader, in bit/s: 9600, 19200, 38400, 57600, 115200,
 * 128000, 230400, 250000, 256000, 500000.  The serial port supports the
 * first five.
 *
 * KYT_GetBaudRate stores the port's current line speed through baudRate.
 *
 * Returns 0; EINVAL for an unknown handle or a NULL baudRate; an errno of
 * the operating system, or EIO, if the port's speed cannot be read.
 */
KYT_API KYT_STATUS KYT_GetBaudRate(ReaderHandle hReader, KYT_ULONG *baudRate);
/* KYT_SetBaudRate tells the reader to change to baudRate and then switches
 * the port.  Nothing is sent if the port already runs at baudRate.
 *
 * Returns 0; EINVAL for an unknown handle or a speed not in the list above;
 * the port's errno, or EIO, if the port cannot run at the speed (128000 and
 * above), with nothing sent; the link's or the reader's error if the
 * command fails, with the port at the old speed: EIO, ETIMEDOUT, E2BIG or
 * ENOMEM, and ENOMEDIUM when the reader answers that slot 0, to which the
 * command goes, holds no card; EIO if the reader's reply does not confirm
 * the change, with the port at the new speed.  No status is mapped to a
 * card code.
 */
KYT_API KYT_STATUS KYT_SetBaudRate(ReaderHandle hReader, KYT_ULONG baudRate);
/* KYT_GetTimeouts copies the reader's link timing into *timeouts;
 * KYT_SetTimeouts replaces it with *timeouts (every value is accepted: 0
 * waits not at all, and a retry count of the all-ones value makes every
 * later exchange fail with EIO).
 *
 * Both return 0, or EINVAL for an unknown handle or a NULL timeouts.
 */
KYT_API KYT_STATUS KYT_GetTimeouts(ReaderHandle hReader, KYT_TIMEOUTS *timeouts);
KYT_API KYT_STATUS KYT_SetTimeouts(ReaderHandle hReader, const KYT_TIMEOUTS *timeouts);

#ifdef __cplusplus
}
#endif

#endif /* KYT_H */
