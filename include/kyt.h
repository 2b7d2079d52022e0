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

KYT_API KYT_STATUS KYT_OpenA(const char *portName, ReaderHandle *phReader);
KYT_API KYT_STATUS KYT_OpenW(const wchar_t *portName, ReaderHandle *phReader);
KYT_API KYT_STATUS KYT_Close(ReaderHandle hReader);
KYT_API KYT_STATUS KYT_GetNumSlots(ReaderHandle hReader, KYT_ULONG *pNumSlots);

KYT_API KYT_STATUS KYT_PowerOnIcc(ReaderHandle hReader, KYT_ULONG slot,
                                  unsigned char *atrBuffer, KYT_ULONG *atrBufferLength);
KYT_API KYT_STATUS KYT_PowerOffIcc(ReaderHandle hReader, KYT_ULONG slot);
KYT_API KYT_STATUS KYT_GetIccStatus(ReaderHandle hReader, KYT_ULONG slot, KYT_ULONG *iccStatus);
KYT_API KYT_STATUS KYT_ExchangeApdu(ReaderHandle hReader, KYT_ULONG slot,
                                    const unsigned char *sendBuffer, KYT_ULONG sendLength,
                                    unsigned char *recvBuffer, KYT_ULONG *recvLength);
KYT_API KYT_STATUS KYT_Control(ReaderHandle hReader, KYT_ULONG slot, KYT_ULONG controlCode,
                               const unsigned char *inBuffer, KYT_ULONG inBufferSize,
                               unsigned char *outBuffer, KYT_ULONG outBufferSize,
                               KYT_ULONG *bytesReturned);
KYT_API KYT_STATUS KYT_SetProtocol(ReaderHandle hReader, KYT_ULONG slot,
                                   KYT_ULONG preferredProtocols, KYT_ULONG *activeProtocol);

KYT_API KYT_STATUS KYT_GetBaudRate(ReaderHandle hReader, KYT_ULONG *baudRate);
KYT_API KYT_STATUS KYT_SetBaudRate(ReaderHandle hReader, KYT_ULONG baudRate);
KYT_API KYT_STATUS KYT_GetTimeouts(ReaderHandle hReader, KYT_TIMEOUTS *timeouts);
KYT_API KYT_STATUS KYT_SetTimeouts(ReaderHandle hReader, const KYT_TIMEOUTS *timeouts);

#ifdef __cplusplus
}
#endif

#endif /* KYT_H */
