"""Tests of an application's kind against the sandbox's demo cards, with
pyscard: the card's ATR, an APDU, and the card pulled in the middle."""
import pytest
from smartcard.CardConnection import CardConnection
from smartcard.System import readers
from smartcard.scard import (SCARD_S_SUCCESS, SCARD_SCOPE_USER, SCARD_STATE_EMPTY, SCARD_STATE_PRESENT,
                             SCARD_STATE_UNAWARE, SCardEstablishContext, SCardGetStatusChange,
                             SCardReleaseContext)

T1_ATR = "3B F9 96 00 00 81 31 FE 45"  # the demo T=1 card's ATR begins so
SELECT_MF = [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00]


def slot(name):
    return next(r for r in readers() if str(r) == name)


def wait_for(name, state):
    """Waits (10 s at most) until pcscd reports `state` for the slot."""
    rv, context = SCardEstablishContext(SCARD_SCOPE_USER)
    assert rv == SCARD_S_SUCCESS
    try:
        known = SCARD_STATE_UNAWARE
        for _ in range(20):
            rv, states = SCardGetStatusChange(context, 500, [(name, known)])
            known = states[0][1]
            if known & state:
                return
        pytest.fail(f"{name} never reached state {state:#x}")
    finally:
        SCardReleaseContext(context)


def test_atr_and_select():
    connection = slot("KYT Sim 00 00").createConnection()
    connection.connect(CardConnection.T1_protocol)
    atr = " ".join(f"{b:02X}" for b in connection.getATR())
    assert atr.startswith(T1_ATR)
    data, sw1, sw2 = connection.transmit(SELECT_MF)
    assert (sw1, sw2) == (0x90, 0x00)
    connection.disconnect()


def test_card_pulled(kyt_sandbox):
    name = "KYT Sim 00 00"
    kyt_sandbox.control("remove 0")
    wait_for(name, SCARD_STATE_EMPTY)
    kyt_sandbox.control("insert 0 demo-t1")
    wait_for(name, SCARD_STATE_PRESENT)
