/*
 * A minimal libkyt program: opens the reader on the port given as argument,
 * powers the card in slot 0 on, selects a protocol, sends one APDU (SELECT of
 * the demo application by name) and prints the card's response.
 *
 *   consumer /dev/ttyUSB0
 *
 * Build it against the installed library with pkg-config:
 *   cc consumer.c $(pkg-config --cflags --libs kyt) -o consumer
 * or with CMake (find_package(kyt), see CMakeLists.txt here).
 */
#include <stdio.h>

#include <kyt.h>

static void print_hex(const char *label, const unsigned char *bytes, KYT_ULONG length)
{
    printf("%s:", label);
    for (KYT_ULONG i = 0; i < length; i++)
        printf(" %02X", bytes[i]);
    printf("\n");
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }

    ReaderHandle reader = NULL;
    KYT_STATUS status = KYT_OpenA(argv[1], &reader);
    if (status != KYT_SUCCESS) {
        fprintf(stderr, "KYT_OpenA(%s) failed: 0x%08lX\n", argv[1], status);
        return 1;
    }

    int result = 1;
    KYT_ULONG slots = 0;
    unsigned char atr[64];
    KYT_ULONG atrLength = sizeof atr; /* in: capacity, out: ATR length */
    KYT_ULONG protocol = 0;
    const unsigned char select[] = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x4B, 0x59, 0x54, 0x44, 0x45, 0x4D, 0x4F, 0x00};
    unsigned char response[258];
    KYT_ULONG responseLength = sizeof response; /* in: capacity, out: used */

    if ((status = KYT_GetNumSlots(reader, &slots)) != KYT_SUCCESS) {
        fprintf(stderr, "KYT_GetNumSlots failed: 0x%08lX\n", status);
    } else if ((status = KYT_PowerOnIcc(reader, 0, atr, &atrLength)) != KYT_SUCCESS) {
        fprintf(stderr, "KYT_PowerOnIcc failed: 0x%08lX\n", status);
    } else if ((status = KYT_SetProtocol(reader, 0, KYT_PROTOCOL_T0 | KYT_PROTOCOL_T1, &protocol)) != KYT_SUCCESS) {
        fprintf(stderr, "KYT_SetProtocol failed: 0x%08lX\n", status);
    } else if ((status = KYT_ExchangeApdu(reader, 0, select, sizeof select, response, &responseLength)) !=
               KYT_SUCCESS) {
        fprintf(stderr, "KYT_ExchangeApdu failed: 0x%08lX\n", status);
    } else {
        printf("Slots: %lu\n", slots);
        print_hex("ATR", atr, atrLength);
        printf("Protocol: T=%d\n", protocol == KYT_PROTOCOL_T1 ? 1 : 0);
        print_hex("Response", response, responseLength);
        result = 0;
    }

    KYT_PowerOffIcc(reader, 0);
    KYT_Close(reader);
    return result;
}
