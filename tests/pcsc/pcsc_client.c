/*
 * pcsc_client: checks a running pcscd with the KYT handler and a simulated
 * reader in its demo setup (slot 0 the T=1 demo card, slot 1 the T=0 demo
 * card, slot 2 empty), through libpcsclite as any application would.
 *
 *   pcsc_client CHECK...
 *
 * Checks: readers, t1, t0, empty, control, reset, threads, removed, bounce,
 * and those of pcsc_client_sessions.c: reconnect, silence[:MS],
 * power-cycle, slow[:MS], too-slow[:MS] ("removed" pulls and re-inserts
 * slot 0's card: it writes "remove 0" and "insert 0 demo-t1" to the file
 * named by KYT_SIM_COMMANDS, the simulator's standard input; the others
 * write their commands there and wait for the answers in the simulator's
 * output, the file named by KYT_SIM_LOG).  Every failed expectation prints one "FAIL" line; the
 * exit status is the number of failures (at most 100).
 */
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <winscard.h>
#include <reader.h>

#include "pcsc_client.h"

#define ESCAPE_CODE SCARD_CTL_CODE(3500)

static int failures;
static pthread_mutex_t report_lock = PTHREAD_MUTEX_INITIALIZER;

void fail(const char *format, ...)
{
    va_list args;
    pthread_mutex_lock(&report_lock);
    va_start(args, format);
    fputs("FAIL ", stdout);
    vprintf(format, args);
    fputc('\n', stdout);
    va_end(args);
    failures++;
    pthread_mutex_unlock(&report_lock);
}

void expect_rv(const char *what, LONG got, LONG want)
{
    if (got != want)
        fail("%s: 0x%08lX (%s), expected 0x%08lX (%s)", what, (unsigned long)got, pcsc_stringify_error(got),
             (unsigned long)want, pcsc_stringify_error(want));
}

static void expect_bytes(const char *what, const BYTE *got, DWORD got_len, const BYTE *want, DWORD want_len)
{
    if (got_len == want_len && memcmp(got, want, want_len) == 0)
        return;
    char text[3 * 300 + 1] = "";
    for (DWORD i = 0; i < got_len && i < 300; i++)
        sprintf(text + 3 * i, "%02X ", got[i]);
    fail("%s: got %lu bytes %s", what, (unsigned long)got_len, text);
}

SCARDCONTEXT context;
char reader_names[3][MAX_READERNAME];
static int reader_count;

static int list_readers(void)
{
    char buffer[4096];
    DWORD length = sizeof buffer;
    LONG rv = SCardListReaders(context, NULL, buffer, &length);
    if (rv != SCARD_S_SUCCESS) {
        expect_rv("SCardListReaders", rv, SCARD_S_SUCCESS);
        return 0;
    }
    reader_count = 0;
    for (const char *name = buffer; *name && name < buffer + length; name += strlen(name) + 1) {
        if (reader_count < 3 && strlen(name) < MAX_READERNAME)
            memcpy(reader_names[reader_count], name, strlen(name) + 1);
        reader_count++;
    }
    return reader_count;
}

/* Sends one APDU and compares the whole response. */
void transmit(SCARDHANDLE card, DWORD protocol, const char *what, const BYTE *apdu, DWORD apdu_len, const BYTE *want,
              DWORD want_len)
{
    BYTE response[300];
    DWORD length = sizeof response;
    const SCARD_IO_REQUEST *pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    LONG rv = SCardTransmit(card, pci, apdu, apdu_len, NULL, response, &length);
    expect_rv(what, rv, SCARD_S_SUCCESS);
    if (rv == SCARD_S_SUCCESS)
        expect_bytes(what, response, length, want, want_len);
}

const BYTE select_mf[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
static const BYTE select_iccid[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0xE2};
static const BYTE read_iccid[] = {0x00, 0xB0, 0x00, 0x00, 0x0A};
static const BYTE iccid[] = {0x98, 0x94, 0x00, 0x21, 0x43, 0x65, 0x87, 0x09, 0x21, 0xF3, 0x90, 0x00};
const BYTE sw_ok[] = {0x90, 0x00};

SCARDHANDLE connect_slot(int slot, DWORD protocols, DWORD *active, LONG want)
{
    SCARDHANDLE card = 0;
    LONG rv = SCardConnect(context, reader_names[slot], SCARD_SHARE_SHARED, protocols, &card, active);
    char what[64];
    snprintf(what, sizeof what, "SCardConnect slot %d", slot);
    expect_rv(what, rv, want);
    return rv == SCARD_S_SUCCESS ? card : 0;
}

/* The card's ATR through SCardStatus and SCardGetAttrib. */
static void check_atr(SCARDHANDLE card, const BYTE *want, DWORD want_len)
{
    char name[MAX_READERNAME * 2];
    DWORD name_len = sizeof name, state = 0, protocol = 0;
    BYTE atr[MAX_ATR_SIZE];
    DWORD atr_len = sizeof atr;
    LONG rv = SCardStatus(card, name, &name_len, &state, &protocol, atr, &atr_len);
    expect_rv("SCardStatus", rv, SCARD_S_SUCCESS);
    if (rv == SCARD_S_SUCCESS)
        expect_bytes("SCardStatus ATR", atr, atr_len, want, want_len);
    atr_len = sizeof atr;
    rv = SCardGetAttrib(card, SCARD_ATTR_ATR_STRING, atr, &atr_len);
    expect_rv("SCardGetAttrib ATR", rv, SCARD_S_SUCCESS);
    if (rv == SCARD_S_SUCCESS)
        expect_bytes("SCardGetAttrib ATR", atr, atr_len, want, want_len);
}

const BYTE t1_atr[] = {0x3B, 0xF9, 0x96, 0x00, 0x00, 0x81, 0x31, 0xFE, 0x45};
static const BYTE t0_atr[] = {0x3B, 0x17, 0x18, 0x80, 0x31, 0x80, 0x73, 0x90, 0x21, 0x00};

static void check_readers(void)
{
    if (list_readers() != 3) {
        fail("expected 3 readers (one per slot), found %d", reader_count);
        return;
    }
    for (int i = 0; i < 3; i++) {
        char suffix[16];
        snprintf(suffix, sizeof suffix, " %02d", i);
        size_t n = strlen(reader_names[i]);
        if (n < 3 || strcmp(reader_names[i] + n - 3, suffix) != 0)
            fail("reader %d is named \"%s\", expected a slot suffix%s", i, reader_names[i], suffix);
    }
}

static void check_t1(void)
{
    DWORD active = 0;
    SCARDHANDLE card = connect_slot(0, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &active, SCARD_S_SUCCESS);
    if (!card)
        return;
    if (active != SCARD_PROTOCOL_T1)
        fail("slot 0: active protocol %lu, expected T=1", (unsigned long)active);
    /* The start of the demo T=1 ATR; its length is checked against SCardStatus. */
    BYTE atr[MAX_ATR_SIZE];
    DWORD atr_len = sizeof atr;
    if (SCardGetAttrib(card, SCARD_ATTR_ATR_STRING, atr, &atr_len) == SCARD_S_SUCCESS &&
        (atr_len < sizeof t1_atr || memcmp(atr, t1_atr, sizeof t1_atr) != 0))
        fail("slot 0: ATR does not begin 3B F9 96 00 00 81 31 FE 45");
    check_atr(card, atr, atr_len);
    transmit(card, active, "T=1 SELECT MF", select_mf, sizeof select_mf, sw_ok, sizeof sw_ok);
    transmit(card, active, "T=1 SELECT 2FE2", select_iccid, sizeof select_iccid, sw_ok, sizeof sw_ok);
    transmit(card, active, "T=1 READ BINARY", read_iccid, sizeof read_iccid, iccid, sizeof iccid);

    /* 256 bytes of EF 0101 and SW 90 00 in one response. */
    static const BYTE select_df[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x00};
    static const BYTE select_ef[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x01, 0x01};
    static const BYTE read_256[] = {0x00, 0xB0, 0x00, 0x00, 0x00};
    BYTE want[258];
    for (int i = 0; i < 256; i++)
        want[i] = (BYTE)i;
    want[256] = 0x90;
    want[257] = 0x00;
    transmit(card, active, "T=1 SELECT 5000", select_df, sizeof select_df, sw_ok, sizeof sw_ok);
    transmit(card, active, "T=1 SELECT 0101", select_ef, sizeof select_ef, sw_ok, sizeof sw_ok);
    transmit(card, active, "T=1 READ 256", read_256, sizeof read_256, want, sizeof want);

    /* A response buffer too small for the answer. */
    BYTE small[4];
    DWORD small_len = sizeof small;
    LONG rv = SCardTransmit(card, SCARD_PCI_T1, read_iccid, sizeof read_iccid, NULL, small, &small_len);
    if (rv == SCARD_S_SUCCESS)
        fail("T=1 READ BINARY into 4 bytes succeeded");
    expect_rv("SCardDisconnect", SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
}

static void check_t0(void)
{
    DWORD active = 0;
    SCARDHANDLE card = connect_slot(1, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &active, SCARD_S_SUCCESS);
    if (!card)
        return;
    if (active != SCARD_PROTOCOL_T0)
        fail("slot 1: active protocol %lu, expected T=0", (unsigned long)active);
    check_atr(card, t0_atr, sizeof t0_atr);
    /* SELECT with FCI: 61 xx, then GET RESPONSE. */
    static const BYTE select_fci[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
    BYTE response[300];
    DWORD length = sizeof response;
    LONG rv = SCardTransmit(card, SCARD_PCI_T0, select_fci, sizeof select_fci, NULL, response, &length);
    expect_rv("T=0 SELECT FCI", rv, SCARD_S_SUCCESS);
    if (rv == SCARD_S_SUCCESS && (length != 2 || response[0] != 0x61))
        fail("T=0 SELECT FCI: expected 61 xx, got %lu bytes", (unsigned long)length);
    if (rv == SCARD_S_SUCCESS && length == 2 && response[0] == 0x61) {
        BYTE get_response[] = {0x00, 0xC0, 0x00, 0x00, response[1]};
        DWORD expected = response[1];
        length = sizeof response;
        rv = SCardTransmit(card, SCARD_PCI_T0, get_response, sizeof get_response, NULL, response, &length);
        expect_rv("T=0 GET RESPONSE", rv, SCARD_S_SUCCESS);
        if (rv == SCARD_S_SUCCESS && (length != expected + 2 || response[0] != 0x6F || response[length - 2] != 0x90))
            fail("T=0 GET RESPONSE: %lu bytes, expected an FCI template of %lu and 90 00", (unsigned long)length,
                 (unsigned long)expected);
    }
    transmit(card, active, "T=0 SELECT 2FE2", select_iccid, sizeof select_iccid, sw_ok, sizeof sw_ok);
    transmit(card, active, "T=0 READ BINARY", read_iccid, sizeof read_iccid, iccid, sizeof iccid);
    /* A T=0 card asked to speak T=1 only. */
    SCARDHANDLE other = 0;
    rv = SCardConnect(context, reader_names[1], SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, &other, &active);
    expect_rv("SCardConnect T=1 to the T=0 card", rv, SCARD_E_PROTO_MISMATCH);
    if (rv == SCARD_S_SUCCESS)
        SCardDisconnect(other, SCARD_LEAVE_CARD);
    expect_rv("SCardDisconnect", SCardDisconnect(card, SCARD_UNPOWER_CARD), SCARD_S_SUCCESS);
}

static void check_empty(void)
{
    DWORD active = 0;
    connect_slot(2, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &active, SCARD_E_NO_SMARTCARD);
    SCARD_READERSTATE state;
    memset(&state, 0, sizeof state);
    state.szReader = reader_names[2];
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    LONG rv = SCardGetStatusChange(context, 0, &state, 1);
    expect_rv("SCardGetStatusChange slot 2", rv, SCARD_S_SUCCESS);
    if (rv == SCARD_S_SUCCESS && !(state.dwEventState & SCARD_STATE_EMPTY))
        fail("slot 2 is not reported empty (state 0x%lX)", (unsigned long)state.dwEventState);
}

static void check_control(void)
{
    /* Direct access: no card needed, the reader answers the escape. */
    SCARDHANDLE card = 0;
    DWORD active = 0;
    LONG rv = SCardConnect(context, reader_names[2], SCARD_SHARE_DIRECT, 0, &card, &active);
    expect_rv("SCardConnect direct", rv, SCARD_S_SUCCESS);
    if (rv != SCARD_S_SUCCESS)
        return;
    static const BYTE firmware[] = {0xE0, 0x00, 0x00, 0x18, 0x00};
    BYTE reply[64];
    DWORD length = 0;
    rv = SCardControl(card, ESCAPE_CODE, firmware, sizeof firmware, reply, sizeof reply, &length);
    expect_rv("SCardControl firmware", rv, SCARD_S_SUCCESS);
    static const char model[] = "KYT7710P_V3";
    if (rv == SCARD_S_SUCCESS &&
        (length < 5 + sizeof model - 1 || reply[0] != 0xE1 || memcmp(reply + 5, model, sizeof model - 1) != 0))
        fail("SCardControl firmware: reply of %lu bytes does not name %s", (unsigned long)length, model);
    rv = SCardControl(card, ESCAPE_CODE, firmware, sizeof firmware, reply, 4, &length);
    expect_rv("SCardControl into 4 bytes", rv, SCARD_E_INSUFFICIENT_BUFFER);
    static const BYTE speed[] = {0x44, 0x04};
    rv = SCardControl(card, ESCAPE_CODE, speed, sizeof speed, reply, sizeof reply, &length);
    expect_rv("SCardControl set-speed", rv, SCARD_E_UNSUPPORTED_FEATURE);
    rv = SCardControl(card, SCARD_CTL_CODE(1), firmware, sizeof firmware, reply, sizeof reply, &length);
    expect_rv("SCardControl unknown code", rv, SCARD_E_UNSUPPORTED_FEATURE);
    /* Only the firmware query passes by default; nothing else reaches the reader. */
    static const BYTE vendor[] = {0x01, 0x02};
    rv = SCardControl(card, ESCAPE_CODE, vendor, sizeof vendor, reply, sizeof reply, &length);
    expect_rv("SCardControl other escape", rv, SCARD_E_UNSUPPORTED_FEATURE);
    /* The part 10 feature list: TLV properties and the escape command. */
    length = 0;
    rv = SCardControl(card, CM_IOCTL_GET_FEATURE_REQUEST, NULL, 0, reply, sizeof reply, &length);
    expect_rv("SCardControl feature request", rv, SCARD_S_SUCCESS);
    static const BYTE features[] = {FEATURE_GET_TLV_PROPERTIES, 4, 0x42, 0x00, 0x0D, 0x49,
                                    FEATURE_CCID_ESC_COMMAND,   4, 0x42, 0x00, 0x0D, 0xAC};
    if (rv == SCARD_S_SUCCESS)
        expect_bytes("feature list", reply, length, features, sizeof features);
    char type[64];
    DWORD type_len = sizeof type;
    rv = SCardGetAttrib(card, SCARD_ATTR_VENDOR_IFD_TYPE, (BYTE *)type, &type_len);
    expect_rv("SCardGetAttrib IFD type", rv, SCARD_S_SUCCESS);
    if (rv == SCARD_S_SUCCESS && (type_len == 0 || strcmp(type, model) != 0))
        fail("IFD type is not %s", model);
    expect_rv("SCardDisconnect direct", SCardDisconnect(card, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
}

static void check_reset(void)
{
    DWORD active = 0;
    SCARDHANDLE card = connect_slot(0, SCARD_PROTOCOL_T1, &active, SCARD_S_SUCCESS);
    if (!card)
        return;
    /* A reset in the middle of a session; the card answers afterwards. */
    transmit(card, active, "SELECT 2FE2", select_iccid, sizeof select_iccid, sw_ok, sizeof sw_ok);
    LONG rv = SCardReconnect(card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_RESET_CARD, &active);
    expect_rv("SCardReconnect reset", rv, SCARD_S_SUCCESS);
    if (rv == SCARD_S_SUCCESS) {
        if (active != SCARD_PROTOCOL_T1)
            fail("after reset: protocol %lu", (unsigned long)active);
        transmit(card, active, "SELECT MF after reset", select_mf, sizeof select_mf, sw_ok, sizeof sw_ok);
    }
    expect_rv("SCardDisconnect", SCardDisconnect(card, SCARD_RESET_CARD), SCARD_S_SUCCESS);
}

struct worker {
    int slot;
    DWORD protocol;
    int rounds;
};

static void *worker_run(void *arg)
{
    struct worker *w = arg;
    SCARDCONTEXT own;
    LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, NULL, NULL, &own);
    if (rv != SCARD_S_SUCCESS) {
        expect_rv("thread SCardEstablishContext", rv, SCARD_S_SUCCESS);
        return NULL;
    }
    SCARDHANDLE card = 0;
    DWORD active = 0;
    rv = SCardConnect(own, reader_names[w->slot], SCARD_SHARE_SHARED, w->protocol, &card, &active);
    expect_rv("thread SCardConnect", rv, SCARD_S_SUCCESS);
    if (rv == SCARD_S_SUCCESS) {
        for (int i = 0; i < w->rounds; i++) {
            transmit(card, active, "thread SELECT 2FE2", select_iccid, sizeof select_iccid, sw_ok, sizeof sw_ok);
            transmit(card, active, "thread READ BINARY", read_iccid, sizeof read_iccid, iccid, sizeof iccid);
        }
        SCardDisconnect(card, SCARD_LEAVE_CARD);
    }
    SCardReleaseContext(own);
    return NULL;
}

static void check_threads(void)
{
    struct worker workers[2] = {{0, SCARD_PROTOCOL_T1, 20}, {1, SCARD_PROTOCOL_T0, 20}};
    pthread_t threads[2];
    for (int i = 0; i < 2; i++)
        pthread_create(&threads[i], NULL, worker_run, &workers[i]);
    for (int i = 0; i < 2; i++)
        pthread_join(threads[i], NULL);
}

static void run_readers(const char *arg)
{
    (void)arg;
}
static void run_t1(const char *arg)
{
    (void)arg;
    check_t1();
}
static void run_t0(const char *arg)
{
    (void)arg;
    check_t0();
}
static void run_empty(const char *arg)
{
    (void)arg;
    check_empty();
}
static void run_control(const char *arg)
{
    (void)arg;
    check_control();
}
static void run_reset(const char *arg)
{
    (void)arg;
    check_reset();
}
static void run_threads(const char *arg)
{
    (void)arg;
    check_threads();
}
static void run_removed(const char *arg)
{
    (void)arg;
    check_removed();
}
static void run_bounce(const char *arg)
{
    (void)arg;
    check_bounce();
}

/* A check by name, with the text after its ':' (or NULL). */
struct check {
    const char *name;
    void (*run)(const char *arg);
};
static const struct check checks[] = {
    {"readers", run_readers},
    {"t1", run_t1},
    {"t0", run_t0},
    {"empty", run_empty},
    {"control", run_control},
    {"reset", run_reset},
    {"threads", run_threads},
    {"removed", run_removed},
    {"bounce", run_bounce},
    {"reconnect", check_reconnect},
    {"silence", check_silence},
    {"power-cycle", check_power_cycle},
    {"slow", check_slow},
    {"too-slow", check_too_slow},
};

int main(int argc, char **argv)
{
    LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, NULL, NULL, &context);
    if (rv != SCARD_S_SUCCESS) {
        printf("FAIL SCardEstablishContext: %s\n", pcsc_stringify_error(rv));
        return 1;
    }
    check_readers();
    if (reader_count != 3) {
        SCardReleaseContext(context);
        return 1;
    }
    for (int i = 1; i < argc; i++) {
        int before = failures;
        char name[64];
        const char *arg = strchr(argv[i], ':');
        size_t length = arg ? (size_t)(arg - argv[i]) : strlen(argv[i]);
        snprintf(name, sizeof name, "%.*s", (int)length, argv[i]);
        const struct check *found = NULL;
        for (size_t c = 0; c < sizeof checks / sizeof checks[0]; c++) {
            if (strcmp(checks[c].name, name) == 0)
                found = &checks[c];
        }
        if (found)
            found->run(arg ? arg + 1 : NULL);
        else
            fail("unknown check %s", argv[i]);
        printf("%s %s\n", failures == before ? "PASS" : "FAIL", argv[i]);
    }
    SCardReleaseContext(context);
    return failures > 100 ? 100 : failures;
}
