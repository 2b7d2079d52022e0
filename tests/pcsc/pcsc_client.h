/*
 * pcsc_client's common parts: failure reports, the PC/SC context and the
 * simulated reader's slot names, one APDU sent and checked, the demo cards'
 * bytes, and the checks that pull cards (pcsc_client_events.c).
 */
#ifndef KYT_PCSC_CLIENT_H
#define KYT_PCSC_CLIENT_H

#include <winscard.h>
#include <reader.h>

/* One "FAIL" line, counted in the exit status. */
void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));
void expect_rv(const char *what, LONG got, LONG want);
/* Sends one APDU and compares the whole response. */
void transmit(SCARDHANDLE card, DWORD protocol, const char *what, const BYTE *apdu, DWORD apdu_len, const BYTE *want,
              DWORD want_len);
/* SCardConnect to a slot's reader expecting `want`; 0 unless it succeeded. */
SCARDHANDLE connect_slot(int slot, DWORD protocols, DWORD *active, LONG want);

extern SCARDCONTEXT context;
extern char reader_names[3][MAX_READERNAME];

extern const BYTE select_mf[7];
extern const BYTE sw_ok[2];
extern const BYTE t1_atr[9];

/* The simulator's console (KYT_SIM_COMMANDS, KYT_SIM_LOG). */
void sim_command(const char *command);
int sim_command_answered(const char *command, const char *answer);
/* pcscd's count of the slot's card events, and waits (at most 20 s) for
 * it to reach `events` with a card present, or for a state. */
DWORD card_events(int slot);
int wait_events(int slot, DWORD events);
int wait_state(int slot, DWORD wanted);

/* Slot 0's card pulled and put back between APDUs, then during one. */
void check_removed(void);
void check_bounce(void);

/* Sessions that must survive (pcsc_client_sessions.c); `arg` is the text
 * after a check's ':' (milliseconds), or NULL. */
void check_reconnect(const char *arg);
void check_silence(const char *arg);
void check_power_cycle(const char *arg);
void check_slow(const char *arg);
void check_too_slow(const char *arg);

#endif
