// kyt_test's script runner and hex helpers on any script file, with a
// transmit function whose answers (data, length and status) come from the
// fuzz input as well.
//
// Input: one byte n, then n bytes of answers, then the script text.  Each
// answer is taken from the pool as one control byte and that many data
// bytes; the control byte also picks a failing status or a length larger
// than the buffer now and then.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "hex.h"
#include "script.h"

namespace {

const uint8_t *g_pool;
size_t g_poolSize;
size_t g_poolUsed;

KYT_STATUS FuzzTransmit(ReaderHandle, KYT_ULONG, const unsigned char *command, KYT_ULONG commandLength,
                        unsigned char *response, KYT_ULONG responseSize, KYT_ULONG *responseLength)
{
    if (command == nullptr && commandLength > 0)
        abort();
    if (*responseLength != responseSize)
        abort();
    uint8_t control = g_poolUsed < g_poolSize ? g_pool[g_poolUsed++] : 0x02;
    if (control == 0xFF)
        return 5; // EIO
    if (control == 0xFE) {
        *responseLength = responseSize + 1; // a transmit function that lies
        return 0;
    }
    size_t length = control % 32;
    if (length > g_poolSize - g_poolUsed)
        length = g_poolSize - g_poolUsed;
    if (length > responseSize)
        length = responseSize;
    memcpy(response, g_pool + g_poolUsed, length);
    g_poolUsed += length;
    *responseLength = length;
    return 0;
}

int g_script = -1;
char g_path[64];

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The runner reports on standard output; nobody reads it here.
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    g_script = memfd_create("script", 0);
    if (g_script < 0)
        abort();
    snprintf(g_path, sizeof g_path, "/proc/self/fd/%d", g_script);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    size_t poolSize = data[0];
    if (poolSize > size - 1)
        poolSize = size - 1;
    g_pool = data + 1;
    g_poolSize = poolSize;
    g_poolUsed = 0;
    const uint8_t *text = data + 1 + poolSize;
    size_t textSize = size - 1 - poolSize;

    if (ftruncate(g_script, 0) != 0 || pwrite(g_script, text, textSize, 0) != static_cast<ssize_t>(textSize))
        abort();
    RunScript(nullptr, 0, g_path, FuzzTransmit);

    // The hex helpers on the text itself, as one token and against the pool.
    char *token = static_cast<char *>(malloc(textSize + 1));
    if (token == nullptr)
        return 0;
    memcpy(token, text, textSize);
    token[textSize] = '\0';
    size_t count = 0;
    unsigned char *bytes = HexToBytes(token, &count);
    if (bytes != nullptr && count * 2 > textSize)
        abort();
    int errorIndex = -2;
    int compared = CompareResponse(token, g_pool, g_poolSize, &errorIndex);
    if (compared != 0 && compared != -1)
        abort();
    if (errorIndex < -1 || errorIndex > static_cast<int>(g_poolSize))
        abort();
    free(bytes);
    free(token);
    fflush(stdout);
    return 0;
}
