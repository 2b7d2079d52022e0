#!/usr/bin/python3
"""Checks what a PC/SC application reads about a KYT reader through pcscd:
SCardGetAttrib's attributes, the part 10 feature list and TLV properties
(parsed by pyscard's own PCSCPart10), and the escape command's gate.

    pcsc_attributes.py READER PORT [--escape-all]

READER is the reader's FRIENDLYNAME; PORT its DEVICENAME's port (a link to
the simulated reader's pty), from which the channel id is worked out.  The
simulated reader is in its demo setup: the T=1 demo card in slot 0, slot 2
empty.  With --escape-all the reader's entry has escape=all, and an escape
command other than the firmware query must reach the reader (which echoes
it); without, it must be refused.  One line per failed check; the exit
status is the number of failures.
"""
import os
import re
import struct
import sys

from smartcard import scard
from smartcard.pcsc import PCSCPart10

ESCAPE = scard.SCARD_CTL_CODE(3500)
FIRMWARE_QUERY = [0xE0, 0x00, 0x00, 0x18, 0x00]
failures = 0


def fail(text):
    global failures
    failures += 1
    print("FAIL " + text)


def expect(what, got, want):
    if got != want:
        fail("%s: %r, expected %r" % (what, got, want))


def attribute(card, attr):
    rv, value = scard.SCardGetAttrib(card, attr)
    if rv != scard.SCARD_S_SUCCESS:
        fail("SCardGetAttrib 0x%X: %s" % (attr, scard.SCardGetErrorMessage(rv)))
        return None
    return value


def number(card, attr):
    """A DWORD attribute, read as pcsc-lite's UnitaryTests/SCardGetAttrib.py
    reads it: exactly 4 bytes in the host's order."""
    value = attribute(card, attr)
    if value is None:
        return None
    if len(value) != 4:
        fail("attribute 0x%X: %d bytes, not a 4-byte number" % (attr, len(value)))
        return None
    return struct.unpack("=I", bytes(value))[0]


def text(card, attr):
    value = attribute(card, attr)
    return None if value is None else bytes(value).rstrip(b"\0").decode()


def channel_id(port):
    digits = re.search(r"(\d+)$", os.path.realpath(port))
    return 0x00010000 | (int(digits.group(1)) + 1 if digits else 0)


def connect(context, reader, share, protocols):
    rv, card, protocol = scard.SCardConnect(context, reader, share, protocols)
    if rv != scard.SCARD_S_SUCCESS:
        fail("SCardConnect %s: %s" % (reader, scard.SCardGetErrorMessage(rv)))
        return None, 0
    return card, protocol


def check_card_slot(context, reader, port):
    card, protocol = connect(context, reader, scard.SCARD_SHARE_SHARED,
                             scard.SCARD_PROTOCOL_T0 | scard.SCARD_PROTOCOL_T1)
    if card is None:
        return
    expect("protocol", protocol, scard.SCARD_PROTOCOL_T1)
    expect("vendor", text(card, scard.SCARD_ATTR_VENDOR_NAME), "KYT")
    expect("model", text(card, scard.SCARD_ATTR_VENDOR_IFD_TYPE), "KYT7710P_V3")
    expect("version", number(card, scard.SCARD_ATTR_VENDOR_IFD_VERSION), 0x01000001)
    expect("channel id", number(card, scard.SCARD_ATTR_CHANNEL_ID), channel_id(port))
    expect("card presence", attribute(card, scard.SCARD_ATTR_ICC_PRESENCE), [2])
    expect("contacts", attribute(card, scard.SCARD_ATTR_ICC_INTERFACE_STATUS), [1])
    expect("protocol attribute", number(card, scard.SCARD_ATTR_CURRENT_PROTOCOL_TYPE),
           scard.SCARD_PROTOCOL_T1)
    expect("longest command", number(card, scard.SCARD_ATTR_MAXINPUT), 65544)
    rv, _, _, _, atr = scard.SCardStatus(card)
    expect("ATR attribute", attribute(card, scard.SCARD_ATTR_ATR_STRING), atr)
    scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)


def check_empty_slot(context, reader, escape_all):
    card, _ = connect(context, reader, scard.SCARD_SHARE_DIRECT, 0)
    if card is None:
        return
    expect("empty slot presence", attribute(card, scard.SCARD_ATTR_ICC_PRESENCE), [0])
    expect("empty slot contacts", attribute(card, scard.SCARD_ATTR_ICC_INTERFACE_STATUS), [0])

    rv, reply = scard.SCardControl(card, ESCAPE, FIRMWARE_QUERY)
    expect("firmware query", rv, scard.SCARD_S_SUCCESS)
    expect("firmware text", bytes(reply[5:]).decode(errors="replace"), "KYT7710P_V3 1.0.1")
    rv, reply = scard.SCardControl(card, ESCAPE, [0x01, 0x02])
    if escape_all:
        expect("escape=all: other command", (rv, reply), (scard.SCARD_S_SUCCESS, [0x01, 0x02]))
    else:
        expect("other escape command", rv, scard.SCARD_E_UNSUPPORTED_FEATURE)
    rv, reply = scard.SCardControl(card, ESCAPE, [0x44, 0x04])
    expect("set-speed command", rv, scard.SCARD_E_UNSUPPORTED_FEATURE)

    rv, response = scard.SCardControl(card, PCSCPart10.CM_IOCTL_GET_FEATURE_REQUEST, [])
    expect("feature request", rv, scard.SCARD_S_SUCCESS)
    features = PCSCPart10.parseFeatureRequest(list(response))
    expect("features", sorted(features),
           [["FEATURE_CCID_ESC_COMMAND", ESCAPE],
            ["FEATURE_GET_TLV_PROPERTIES", scard.SCARD_CTL_CODE(3401)]])
    rv, response = scard.SCardControl(card, scard.SCARD_CTL_CODE(3401), [])
    expect("TLV properties", rv, scard.SCARD_S_SUCCESS)
    properties = PCSCPart10.parseTlvProperties(list(response))
    properties.pop("raw")
    expect("TLV properties", properties,
           {"PCSCv2_PART10_PROPERTY_wLcdLayout": 0, "PCSCv2_PART10_PROPERTY_bPPDUSupport": 0,
            "PCSCv2_PART10_PROPERTY_dwMaxAPDUDataSize": 65536,
            "PCSCv2_PART10_PROPERTY_sFirmwareID": "KYT7710P_V3 1.0.1"})
    scard.SCardDisconnect(card, scard.SCARD_LEAVE_CARD)


def main():
    name, port = sys.argv[1], sys.argv[2]
    escape_all = "--escape-all" in sys.argv[3:]
    rv, context = scard.SCardEstablishContext(scard.SCARD_SCOPE_USER)
    if rv != scard.SCARD_S_SUCCESS:
        print("FAIL SCardEstablishContext: " + scard.SCardGetErrorMessage(rv))
        return 1
    rv, readers = scard.SCardListReaders(context, [])
    expect("readers", [r for r in readers if r.startswith(name)],
           ["%s 00 0%d" % (name, slot) for slot in range(3)])
    check_card_slot(context, "%s 00 00" % name, port)
    check_empty_slot(context, "%s 00 02" % name, escape_all)
    scard.SCardReleaseContext(context)
    print("%s attributes" % ("FAIL" if failures else "PASS"))
    return min(failures, 100)


if __name__ == "__main__":
    sys.exit(main())
