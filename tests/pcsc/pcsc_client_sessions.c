/*
 * pcsc_client's checks of sessions that services keep for hours, on slot
 * 0's T=1 demo card: a client that reconnects at once after a bounce, a
 * whole reader that falls silent for a while (with its card power-cycled
 * meanwhile, or not), and cards that take long over an APDU.  The
 * simulator's console commands (silence, delay) drive them.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "pcsc_client.h"

static long milliseconds(const char *arg, long fallback)
{
    if (!arg)
        return fallback;
    char *end = NULL;
    long value = strtol(arg, &end, 10);
    return end && *end == '\0' && value > 0 && value < 3600000 ? value : fallback;
}

static double now_seconds(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

static LONG send_select(SCARDHANDLE card)
{
    BYTE response[32];
    DWORD length = sizeof response;
    LONG rv = SCardTransmit(card, SCARD_PCI_T1, select_mf, sizeof select_mf, NULL, response, &length);
    if (rv == SCARD_S_SUCCESS && (length != sizeof sw_ok || memcmp(response, sw_ok, sizeof sw_ok) != 0))
        fail("SELECT MF answered %lu bytes, not 90 00", (unsigned long)length);
    return rv;
}

/* After a removal: the old handle learns of it, reconnects, and works. */
static void reconnect_and_use(SCARDHANDLE card, const char *what)
{
    DWORD active = 0;
    LONG rv = SCARD_E_NO_SMARTCARD;
    for (int attempt = 0; attempt < 3 && rv != SCARD_S_SUCCESS; attempt++)
        rv = SCardReconnect(card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &active);
    char text[128];
    snprintf(text, sizeof text, "SCardReconnect %s", what);
    expect_rv(text, rv, SCARD_S_SUCCESS);
    snprintf(text, sizeof text, "SELECT MF %s", what);
    if (rv == SCARD_S_SUCCESS)
        expect_rv(text, send_select(card), SCARD_S_SUCCESS);
}

/* A session on slot 0's card that has carried an APDU; *events is pcscd's
 * count of the slot's card events then.  0 when it cannot be had. */
static SCARDHANDLE open_session(DWORD *events)
{
    DWORD active = 0;
    SCARDHANDLE card = connect_slot(0, SCARD_PROTOCOL_T1, &active, SCARD_S_SUCCESS);
    if (!card)
        return 0;
    LONG rv = send_select(card);
    expect_rv("SELECT MF to open the session", rv, SCARD_S_SUCCESS);
    if (rv != SCARD_S_SUCCESS) {
        SCardDisconnect(card, SCARD_LEAVE_CARD);
        return 0;
    }
    *events = card_events(0);
    return card;
}

/* The card bounces during an APDU and the client at once resets it, as
 * pyscard's and OpenSC's error paths do: the reset's presence check on the
 * client's thread must not take the removal from pcscd's event thread. */
void check_reconnect(const char *arg)
{
    (void)arg;
    DWORD events = 0;
    SCARDHANDLE card = open_session(&events);
    if (!card)
        return;
    DWORD active = 0;
    if (sim_command_answered("bounce 0", "bounces at its next APDU")) {
        expect_rv("SCardTransmit while the card is out", send_select(card), SCARD_E_NO_SMARTCARD);
        /* Whether the reset finds the slot empty or, once pcscd's event
         * thread has seen the removal, the card back, pcscd must count the
         * removal and the insertion. */
        LONG rv = SCardReconnect(card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_RESET_CARD, &active);
        printf("    SCardReconnect at once: %s\n", pcsc_stringify_error(rv));
        if (!wait_events(0, events + 2))
            fail("pcscd never saw the bounced card leave and come back");
        else
            reconnect_and_use(card, "after the bounce and the reset");
    }
    SCardDisconnect(card, SCARD_LEAVE_CARD);
}

/* The whole reader falls silent for MS (default 3000) milliseconds: the
 * connection lives through it and carries its next APDU without a
 * reconnect, and pcscd sees no card event. */
void check_silence(const char *arg)
{
    long ms = milliseconds(arg, 3000);
    DWORD events = 0;
    SCARDHANDLE card = open_session(&events);
    if (!card)
        return;
    char command[64];
    snprintf(command, sizeof command, "silence %ld", ms);
    if (sim_command_answered(command, "silent")) {
        usleep((useconds_t)(ms + 1500) * 1000);
        expect_rv("SELECT MF on the same handle after the silence", send_select(card), SCARD_S_SUCCESS);
        if (card_events(0) != events)
            fail("pcscd saw %lu card events during the silence", (unsigned long)(card_events(0) - events));
    }
    SCardDisconnect(card, SCARD_LEAVE_CARD);
}

/* The reader falls silent, and its card is power-cycled meanwhile (pulled
 * and put back): when the reader answers again, the card is reported
 * removed once, and a reconnect gets it back. */
void check_power_cycle(const char *arg)
{
    (void)arg;
    DWORD events = 0;
    SCARDHANDLE card = open_session(&events);
    if (!card)
        return;
    if (sim_command_answered("silence", "silent") && sim_command_answered("remove 0", "is empty") &&
        sim_command_answered("insert 0 demo-t1", "holds demo-t1")) {
        usleep(1500 * 1000);
        sim_command_answered("silence off", "answers again");
        if (!wait_events(0, events + 2))
            fail("pcscd never saw the power-cycled card leave and come back");
        expect_rv("SCardTransmit on the old handle", send_select(card), SCARD_W_REMOVED_CARD);
        reconnect_and_use(card, "after the power cycle");
        if (card_events(0) != events + 2)
            fail("%lu card events for one power cycle", (unsigned long)(card_events(0) - events));
    }
    SCardDisconnect(card, SCARD_LEAVE_CARD);
}

/* Connects to slot 0 and has the simulator hold the card's answer to the
 * next APDU for `ms`; 0 unless both worked. */
static SCARDHANDLE connect_delayed(long ms)
{
    DWORD active = 0;
    SCARDHANDLE card = connect_slot(0, SCARD_PROTOCOL_T1, &active, SCARD_S_SUCCESS);
    if (!card)
        return 0;
    char command[64];
    snprintf(command, sizeof command, "delay 0 %ld", ms);
    if (sim_command_answered(command, "ms late"))
        return card;
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    return 0;
}

/* The card takes MS (default 30000) milliseconds over one APDU, which the
 * reader's timeout allows. */
void check_slow(const char *arg)
{
    long ms = milliseconds(arg, 30000);
    SCARDHANDLE card = connect_delayed(ms);
    if (!card)
        return;
    double start = now_seconds();
    expect_rv("SELECT MF to a slow card", send_select(card), SCARD_S_SUCCESS);
    double took = now_seconds() - start;
    printf("    the card answered after %.1f s\n", took);
    if (took * 1000 < (double)ms)
        fail("the card answered after %.1f s, before its delay", took);
    expect_rv("SELECT MF after the slow one", send_select(card), SCARD_S_SUCCESS);
    SCardDisconnect(card, SCARD_LEAVE_CARD);
}

/* The card takes MS milliseconds, longer than the reader's timeout= allows:
 * the APDU fails, and once the card is done the session goes on. */
void check_too_slow(const char *arg)
{
    long ms = milliseconds(arg, 5000);
    SCARDHANDLE card = connect_delayed(ms);
    if (!card)
        return;
    expect_rv("SELECT MF to a card slower than the timeout", send_select(card), SCARD_E_NOT_TRANSACTED);
    /* The card's late answer, and the reader's to the repeat requests sent
     * meanwhile, may still be on their way: a few tries. */
    usleep((useconds_t)ms * 1000);
    LONG rv = SCARD_E_NOT_TRANSACTED;
    for (int attempt = 0; attempt < 5 && rv != SCARD_S_SUCCESS; attempt++) {
        if (attempt > 0)
            usleep(500 * 1000);
        rv = send_select(card);
    }
    expect_rv("SELECT MF once the card is done", rv, SCARD_S_SUCCESS);
    SCardDisconnect(card, SCARD_LEAVE_CARD);
}
