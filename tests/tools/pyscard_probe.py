"""pyscard inside a kyt_sandbox, against its demo cards.

  pyscard_probe.py select         the T=1 card's ATR, then SELECT MF
  pyscard_probe.py pull SANDBOX   a loop of SELECT MF on slot 0 while
                                  "SANDBOX --control remove 0" pulls the card

Prints what it saw and exits 0, or says what went wrong and exits 1.
"""
import subprocess
import sys
import time

from smartcard.CardConnection import CardConnection
from smartcard.System import readers
from smartcard.scard import (SCARD_S_SUCCESS, SCARD_SCOPE_USER, SCARD_STATE_EMPTY,
                             SCARD_STATE_UNAWARE, SCardEstablishContext,
                             SCardGetStatusChange, SCardReleaseContext)
from smartcard.util import toHexString

SLOT0 = "KYT Sim 00 00"
T1_ATR = "3B F9 96 00 00 81 31 FE 45"
SELECT_MF = [0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00]


def fail(message):
    print("pyscard_probe: " + message, file=sys.stderr)
    sys.exit(1)


def connect_slot0():
    found = [r for r in readers() if str(r) == SLOT0]
    if not found:
        fail("no reader %r among %s" % (SLOT0, [str(r) for r in readers()]))
    connection = found[0].createConnection()
    connection.connect(CardConnection.T1_protocol)
    return connection


def select(connection):
    data, sw1, sw2 = connection.transmit(SELECT_MF)
    return data, "%02X %02X" % (sw1, sw2)


def check_select():
    connection = connect_slot0()
    atr = toHexString(connection.getATR())
    if not atr.startswith(T1_ATR):
        fail("slot 0's ATR is " + atr)
    data, sw = select(connection)
    # The demo card answers with its FCI template.
    if sw != "90 00" or data[:1] != [0x6F]:
        fail("SELECT MF gave %s, SW %s" % (toHexString(data), sw))
    print("ATR %s; SELECT MF: %s %s" % (atr, toHexString(data), sw))


def slot0_empty(wait_ms):
    _, context = SCardEstablishContext(SCARD_SCOPE_USER)
    try:
        result, states = SCardGetStatusChange(context, 0, [(SLOT0, SCARD_STATE_UNAWARE)])
        if result == SCARD_S_SUCCESS and not states[0][1] & SCARD_STATE_EMPTY:
            result, states = SCardGetStatusChange(context, wait_ms, [(SLOT0, states[0][1])])
        return result == SCARD_S_SUCCESS and bool(states[0][1] & SCARD_STATE_EMPTY)
    finally:
        SCardReleaseContext(context)


def check_pull(sandbox):
    connection = connect_slot0()
    done = 0
    control = None
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        try:
            _, sw = select(connection)
        except Exception as error:  # the card went: what pyscard raises depends on when
            if control is None:
                fail("a transmit failed before the card was pulled: %s" % error)
            break
        if sw != "90 00":
            fail("SELECT MF gave SW %s while the card was in" % sw)
        done += 1
        # A few exchanges first, so that the pull lands in a running loop.
        if done == 5:
            control = subprocess.Popen([sandbox, "--control", "remove", "0"],
                                       stdout=subprocess.PIPE, text=True)
    else:
        fail("transmits still worked 30 s after the pull (%d done)" % done)
    answer, _ = control.communicate(timeout=30)
    if control.returncode != 0 or not answer.startswith("ok"):
        fail("the control client said %r, status %d" % (answer, control.returncode))
    if not slot0_empty(10000):
        fail("SCardGetStatusChange does not show slot 0 empty")
    print("%d exchanges, then the card went; slot 0 empty" % done)


if __name__ == "__main__":
    if sys.argv[1:] == ["select"]:
        check_select()
    elif len(sys.argv) == 3 and sys.argv[1] == "pull":
        check_pull(sys.argv[2])
    else:
        fail("usage: pyscard_probe.py select | pull SANDBOX")
