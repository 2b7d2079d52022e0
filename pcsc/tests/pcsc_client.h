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
void transmit(SCARDHANDLE card, DWORD protocol, const char *what, const BYTE *apdu, DWORD apdu_len,
              const BYTE *want, DWORD want_len);
/* SCardConnect to a slot's reader expecting `want`; 0 unless it succeeded. */
SCARDHANDLE connect_slot(int slot, DWORD protocols, DWORD *active, LONG want);

extern SCARDCONTEXT context;
extern char reader_names[3][MAX_READERNAME];

extern const BYTE select_mf[7];
extern const BYTE sw_ok[2];
extern const BYTE t1_atr[9];

/* Slot 0's card pulled and put back between APDUs, then during one. */
void check_removed(void);
void check_bounce(void);

#endif
