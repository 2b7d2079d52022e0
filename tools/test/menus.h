// The menus of kyt_test and the firmware version query.
#ifndef KYT_TEST_MENUS_H
#define KYT_TEST_MENUS_H

#include "kyt.h"

// Display names of library values.
const char *ProtocolName(KYT_ULONG protocol);
const char *IccStatusName(KYT_ULONG status);

// The reader's firmware version text (a heap string the caller frees), or
// null after the failure has been reported.
char *GetFirmwareVersion(ReaderHandle hReader);

// Each menu returns when it is left with 0 (or when standard input ends).
void ShowModuleMenu(ReaderHandle hReader);
void ShowReaderMenu(ReaderHandle hReader);
void ShowTimeoutsMenu(ReaderHandle hReader);
void ShowCardMenu(ReaderHandle hReader);
void ShowPeripheralMenu(ReaderHandle hReader);

// The protocol menu: 1 (T=0), 2 (T=1), 3 (either) or 0 when it is left.
int SelectProtocol();

#endif
