/*
 * libifdkyt - the PC/SC IFD handler (API v3) for KYT serial readers.
 *
 * pcscd loads the handler for each reader named in a /etc/reader.conf.d/
 * entry whose LIBPATH is this library; DEVICENAME is the serial port,
 * optionally followed by options (see ifdkyt(8) and options.h):
 *
 *   DEVICENAME /dev/ttyUSB0:speed=115200:escape=version
 *
 * The handler opens the port with KYT_OpenA, so the line speed and the model
 * are found on their own, then asks the reader for 115200 bit/s (or the
 * speed=option's speed); pcscd shows one reader per slot of the detected
 * model (two for a KYT7710P, three for a KYT7710P_V3 or KYT4460P).
 *
 * Status mapping (libkyt status -> IFD response code):
 *
 *   0                               IFD_SUCCESS
 *   KYT_ERR_REMOVED_CARD, ENOMEDIUM IFD_ICC_NOT_PRESENT
 *   KYT_ERR_UNRESPONSIVE_CARD,      IFD_RESPONSE_TIMEOUT
 *     ETIMEDOUT                       (IFDHPowerICC: IFD_ERROR_POWER_ACTION)
 *   KYT_ERR_UNPOWERED_CARD          IFD_ERROR_POWER_ACTION
 *   KYT_ERR_UNSUPPORTED_CARD,       IFD_ERROR_POWER_ACTION from IFDHPowerICC,
 *     EMEDIUMTYPE                     IFD_ERROR_PTS_FAILURE from
 *                                     IFDHSetProtocolParameters,
 *                                     IFD_COMMUNICATION_ERROR elsewhere
 *   KYT_ERR_PROTO_MISMATCH          IFD_PROTOCOL_NOT_SUPPORTED
 *   E2BIG                           IFD_ERROR_INSUFFICIENT_BUFFER
 *   EINVAL                          IFD_NOT_SUPPORTED from IFDHControl (the
 *                                     library refused the escape command),
 *                                     IFD_COMMUNICATION_ERROR elsewhere
 *   EIO, ENOMEM, other errno        IFD_COMMUNICATION_ERROR
 *   any failure to open the reader  IFD_COMMUNICATION_ERROR, or
 *                                     IFD_NO_SUCH_DEVICE when the port has
 *                                     no device behind it (ENODEV, ENXIO)
 *
 * Requests refused before the library is asked:
 *
 *   unknown Lun, slot beyond the model's slots   IFD_COMMUNICATION_ERROR
 *   ATR longer than the caller's buffer          IFD_ERROR_INSUFFICIENT_BUFFER
 *   capability buffer too small                  IFD_ERROR_INSUFFICIENT_BUFFER
 *   unknown capability tag                       IFD_ERROR_TAG
 *   IFDHSetCapabilities on a known tag           IFD_ERROR_VALUE_READ_ONLY
 *   protocol other than T=0 or T=1               IFD_PROTOCOL_NOT_SUPPORTED
 *   unknown control code                         IFD_ERROR_NOT_SUPPORTED
 *   escape beginning with 44 (line speed), or    IFD_NOT_SUPPORTED
 *     not enabled by the escape= option
 *   any card or escape request while the         IFD_COMMUNICATION_ERROR
 *     reader is lost, or silent on this request    (it may answer again:
 *                                                  IFD_NO_SUCH_DEVICE would
 *                                                  make pcscd rescan and
 *                                                  sleep a second)
 *
 * IFDHICCPresence reports IFD_SUCCESS for a card (powered or not) and
 * IFD_ICC_NOT_PRESENT for an empty slot; it never fails for a reader that
 * does not answer.  A card that left while the handler talked to it (a
 * transmit or protocol selection found no card), or that the handler
 * powered but the reader now reports unpowered, was pulled and perhaps put
 * back between two polls, or power-cycled while the reader was silent: the
 * slot reads empty until pcscd's event thread of the slot has seen it so,
 * and pcscd powers the card anew.
 *
 * A reader that stops answering is silent for up to ten seconds, its slots
 * answering from what was known.  One whose port disappears (a USB serial
 * adapter pulled), or that stays silent longer, is lost: its slots read as
 * empty, and a thread of the handler opens it afresh once its port exists
 * again (at most one attempt every two seconds; a stat() every poll period
 * while it is missing).  A port that does not exist yet when pcscd opens
 * the channel opens lost.  See readers.h.
 */
#ifndef IFD_KYT_H
#define IFD_KYT_H

/* Control codes of IFDHControl (SCardControl).  SCARD_CTL_CODE(n) is
 * 0x42000000 + n in pcsc-lite. */

/* Pass a vendor escape command to the reader: the input is the command, the
 * output the reader's reply.  Mirrors the library's KYT_IOCTL_ESCAPE (3500).
 * By default only the firmware version query E0 00 00 18 00 passes; its
 * reply holds five bytes of which nothing is known, then the model and
 * version text.  The escape= option of the reader's entry lets more through;
 * commands beginning with 44 (line speed) are always refused: the line speed
 * belongs to the driver.  Advertised as FEATURE_CCID_ESC_COMMAND. */
#define KYT_IFD_IOCTL_ESCAPE (0x42000000UL + 3500UL)

/* The PC/SC v2 part 10 reader feature list (CM_IOCTL_GET_FEATURE_REQUEST):
 * FEATURE_GET_TLV_PROPERTIES and FEATURE_CCID_ESC_COMMAND. */
#define KYT_IFD_IOCTL_GET_FEATURE_REQUEST (0x42000000UL + 3400UL)

/* FEATURE_GET_TLV_PROPERTIES: wLcdLayout 0 (no display), bPPDUSupport 0,
 * sFirmwareID (the firmware version text) and dwMaxAPDUDataSize 65536, so
 * that clients send extended-length APDUs through the reader. */
#define KYT_IFD_IOCTL_GET_TLV_PROPERTIES (0x42000000UL + 3401UL)

/* Most readers (reader indexes in use at once) one pcscd can drive. */
#define KYT_IFD_MAX_READERS 16

#endif /* IFD_KYT_H */
