/*
 * pcsc_client's checks that pull slot 0's card through the simulator's
 * commands (the file named by KYT_SIM_COMMANDS, its standard input) and
 * watch pcscd follow.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "pcsc_client.h"

void sim_command(const char *command)
{
    const char *path = getenv("KYT_SIM_COMMANDS");
    FILE *file = path ? fopen(path, "w") : NULL;
    if (!file) {
        fail("cannot write to the simulator's commands (KYT_SIM_COMMANDS)");
        return;
    }
    fprintf(file, "%s\n", command);
    fclose(file);
}

static int count_lines(const char *path, const char *text)
{
    FILE *file = fopen(path, "r");
    if (!file)
        return -1;
    char line[512];
    int count = 0;
    while (fgets(line, sizeof line, file))
        count += strstr(line, text) != NULL;
    fclose(file);
    return count;
}

/* Sends a command to the simulator and waits (at most 20 s) until its log,
 * the file named by KYT_SIM_LOG, shows one more line holding `answer`. */
int sim_command_answered(const char *command, const char *answer)
{
    const char *log = getenv("KYT_SIM_LOG");
    int before = log ? count_lines(log, answer) : -1;
    if (before < 0) {
        fail("cannot read the simulator's log (KYT_SIM_LOG)");
        return 0;
    }
    sim_command(command);
    for (int i = 0; i < 200; i++) {
        if (count_lines(log, answer) > before)
            return 1;
        usleep(100 * 1000);
    }
    fail("the simulator did not answer \"%s\"", command);
    return 0;
}

/* Follows the slot's state through pcscd for at most 20 s until it has all
 * the `wanted` bits and at least `events` card events. */
static int follow_state(int slot, DWORD wanted, DWORD events)
{
    SCARD_READERSTATE state;
    memset(&state, 0, sizeof state);
    state.szReader = reader_names[slot];
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    for (int i = 0; i < 40; i++) {
        LONG rv = SCardGetStatusChange(context, 500, &state, 1);
        if (rv == SCARD_S_SUCCESS && (state.dwEventState & wanted) == wanted && (state.dwEventState >> 16) >= events)
            return 1;
        if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT) {
            expect_rv("SCardGetStatusChange", rv, SCARD_S_SUCCESS);
            return 0;
        }
        state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
    }
    return 0;
}

int wait_state(int slot, DWORD wanted)
{
    if (follow_state(slot, wanted, 0))
        return 1;
    fail("slot %d never reached state 0x%lX", slot, (unsigned long)wanted);
    return 0;
}

int wait_events(int slot, DWORD events)
{
    return follow_state(slot, SCARD_STATE_PRESENT, events);
}

DWORD card_events(int slot)
{
    SCARD_READERSTATE state;
    memset(&state, 0, sizeof state);
    state.szReader = reader_names[slot];
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    SCardGetStatusChange(context, 0, &state, 1);
    return state.dwEventState >> 16;
}

void check_removed(void)
{
    DWORD active = 0;
    SCARDHANDLE card = connect_slot(0, SCARD_PROTOCOL_T1, &active, SCARD_S_SUCCESS);
    if (!card)
        return;
    sim_command("remove 0");
    if (wait_state(0, SCARD_STATE_EMPTY)) {
        BYTE response[32];
        DWORD length = sizeof response;
        LONG rv = SCardTransmit(card, SCARD_PCI_T1, select_mf, sizeof select_mf, NULL, response, &length);
        expect_rv("SCardTransmit after removal", rv, SCARD_W_REMOVED_CARD);
    }
    sim_command("insert 0 demo-t1");
    if (wait_state(0, SCARD_STATE_PRESENT)) {
        char name[MAX_READERNAME * 2];
        DWORD name_len = sizeof name, state = 0, protocol = 0;
        BYTE atr[MAX_ATR_SIZE];
        DWORD atr_len = sizeof atr;
        LONG rv = SCardStatus(card, name, &name_len, &state, &protocol, atr, &atr_len);
        expect_rv("SCardStatus on the old handle after re-insertion", rv, SCARD_W_REMOVED_CARD);
        rv = SCardReconnect(card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &active);
        expect_rv("SCardReconnect after re-insertion", rv, SCARD_S_SUCCESS);
        if (rv == SCARD_S_SUCCESS) {
            atr_len = sizeof atr;
            name_len = sizeof name;
            rv = SCardStatus(card, name, &name_len, &state, &protocol, atr, &atr_len);
            expect_rv("SCardStatus after reconnect", rv, SCARD_S_SUCCESS);
            if (rv == SCARD_S_SUCCESS && !(state & SCARD_POWERED))
                fail("after reconnect the card is not ready (state 0x%lX)", (unsigned long)state);
            if (rv == SCARD_S_SUCCESS && (atr_len < sizeof t1_atr || memcmp(atr, t1_atr, sizeof t1_atr) != 0))
                fail("after reconnect: not the T=1 demo ATR");
            transmit(card, active, "SELECT MF after re-insertion", select_mf, sizeof select_mf, sw_ok, sizeof sw_ok);
        }
    }
    SCardDisconnect(card, SCARD_LEAVE_CARD);
}

/* The card is pulled and put back during an APDU, before pcscd's next
 * presence poll: pcscd must see it leave and power it anew, or the slot
 * would answer SCARD_E_NO_SMARTCARD with a card in it until it is pulled
 * again. */
void check_bounce(void)
{
    DWORD active = 0;
    SCARDHANDLE card = connect_slot(0, SCARD_PROTOCOL_T1, &active, SCARD_S_SUCCESS);
    if (!card)
        return;
    transmit(card, active, "SELECT MF before the bounce", select_mf, sizeof select_mf, sw_ok, sizeof sw_ok);
    DWORD events = card_events(0);
    if (!sim_command_answered("bounce 0", "bounces at its next APDU")) {
        SCardDisconnect(card, SCARD_LEAVE_CARD);
        return;
    }
    BYTE response[32];
    DWORD length = sizeof response;
    LONG rv = SCardTransmit(card, SCARD_PCI_T1, select_mf, sizeof select_mf, NULL, response, &length);
    expect_rv("SCardTransmit while the card is out", rv, SCARD_E_NO_SMARTCARD);
    /* pcscd sees a removal and an insertion: two more events, a card again. */
    if (!wait_events(0, events + 2))
        fail("pcscd never saw the bounced card leave and come back");
    rv = SCardReconnect(card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &active);
    expect_rv("SCardReconnect after the bounce", rv, SCARD_S_SUCCESS);
    if (rv == SCARD_S_SUCCESS)
        transmit(card, active, "SELECT MF after the bounce", select_mf, sizeof select_mf, sw_ok, sizeof sw_ok);
    SCardDisconnect(card, SCARD_LEAVE_CARD);
}
