#include "messages.h"

#include <cstdio>

void PrintFailure(const char *function, KYT_STATUS status)
{
    printf("Error: %s failed with error 0x%08X\n", function, static_cast<unsigned>(status));
}
