/*
 * libifdkyt - the PC/SC IFD handler (API v3) for KYT serial readers.
 *
 * pcscd loads the handler for each reader named in a /etc/reader.conf.d/
 * entry whose LIBPATH is this library; DEVICENAME is the serial port.  The
 * handler opens the port with KYT_OpenA, so the line speed and the model are
 * found on their own; pcscd shows one reader per slot of the detected model
 * (two for a KYT7710P, three for a KYT7710P_V3 or KYT4460P).
 *
 * pcscd's Lun carries the reader in its high 16 bits and the slot in its low
 * 16 bits.  All slots of one reader share one libkyt handle: the first
 * channel opens it, the last channel to close closes it.
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
 *   EIO, ENOMEM, other errno        IFD_COMMUNICATION_ERROR, or
 *                                     IFD_NO_SUCH_DEVICE when the port itself
 *                                     is gone (ENODEV, ENXIO, ENOENT, or the
 *                                     device path no longer exists)
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
 *   escape beginning with 44 (line speed)        IFD_NOT_SUPPORTED
 *
 * IFDHICCPresence reports IFD_SUCCESS for a card (powered or not) and
 * IFD_ICC_NOT_PRESENT for an empty slot.  A card that the handler powered
 * but that the reader now reports unpowered was pulled and put back between
 * two polls: it is reported absent once, so that pcscd sees the change.
 */
#ifndef IFD_KYT_H
#define IFD_KYT_H

/* Control codes of IFDHControl (SCardControl).  SCARD_CTL_CODE(n) is
 * 0x42000000 + n in pcsc-lite. */

/* Pass a vendor escape command to the reader: the input is the command, the
 * output the reader's reply.  Mirrors the library's KYT_IOCTL_ESCAPE (3500).
 * The firmware query E0 00 00 18 00 answers E1 00 00 18 <n> and n bytes of
 * model and version text.  Commands beginning with 44 (line speed) are
 * refused: the line speed belongs to the driver. */
#define KYT_IFD_IOCTL_ESCAPE (0x42000000UL + 3500UL)

/* The PC/SC v2 reader feature list (CM_IOCTL_GET_FEATURE_REQUEST): the reader
 * has no PIN pad or other feature, so the answer is empty. */
#define KYT_IFD_IOCTL_GET_FEATURE_REQUEST (0x42000000UL + 3400UL)

/* Most readers (reader indexes in use at once) one pcscd can drive. */
#define KYT_IFD_MAX_READERS 16

#endif /* IFD_KYT_H */
