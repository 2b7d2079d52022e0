#include "hex.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr size_t kHexBytesPerLine = 16;
constexpr size_t kExpectedPairsPerLine = 16;

bool IsWildcard(char character)
{
    return character == 'X' || character == 'x';
}

bool IsExpectedCharacter(char character)
{
    return HexDigitValue(character) >= 0 || IsWildcard(character);
}

} // namespace

int HexDigitValue(char character)
{
    if (character >= '0' && character <= '9')
        return character - '0';
    if (character >= 'A' && character <= 'F')
        return character - 'A' + 10;
    if (character >= 'a' && character <= 'f')
        return character - 'a' + 10;
    return -1;
}

unsigned char *HexToBytes(const char *token, size_t *count)
{
    size_t digits = 0;
    for (const char *p = token; *p != '\0'; p++) {
        if (HexDigitValue(*p) >= 0)
            digits++;
    }
    // Room for an unpaired last digit too, whose high nibble is written
    // before it is dropped; at least one byte, so that null always means
    // "no memory".
    size_t capacity = (digits + 1) / 2 > 0 ? (digits + 1) / 2 : 1;
    unsigned char *bytes = static_cast<unsigned char *>(malloc(capacity));
    if (bytes == nullptr) {
        *count = 0;
        return nullptr;
    }
    size_t whole = 0;
    bool highNibble = true;
    for (const char *p = token; *p != '\0'; p++) {
        int value = HexDigitValue(*p);
        if (value < 0)
            continue;
        if (highNibble) {
            bytes[whole] = static_cast<unsigned char>(value << 4);
        } else {
            bytes[whole] = static_cast<unsigned char>(bytes[whole] | value);
            whole++;
        }
        highNibble = !highNibble;
    }
    *count = whole;
    return bytes;
}

int CompareResponse(const char *expected, const unsigned char *response, size_t length, int *errorIndex)
{
    *errorIndex = -1;
    if (response == nullptr || length == 0 || expected == nullptr)
        return -1;
    size_t counted = 0;
    size_t index = 0;
    bool highNibble = true;
    for (const char *p = expected; *p != '\0'; p++) {
        if (!IsExpectedCharacter(*p))
            continue;
        counted++;
        if (index >= length)
            return -1;
        int nibble;
        if (highNibble) {
            *errorIndex = static_cast<int>(index);
            nibble = response[index] >> 4;
        } else {
            nibble = response[index] & 0x0F;
            index++;
        }
        highNibble = !highNibble;
        if (!IsWildcard(*p) && HexDigitValue(*p) != nibble)
            return -1;
    }
    return counted == 2 * length ? 0 : -1;
}

void PrintHex(const unsigned char *bytes, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        bool firstOfLine = i % kHexBytesPerLine == 0;
        printf(firstOfLine ? "%02X" : " %02X", bytes[i]);
        if (i % kHexBytesPerLine == kHexBytesPerLine - 1 || i == length - 1)
            putchar('\n');
    }
}

void PrintExpected(const char *expected)
{
    // A full line holds 16 pairs, each of two characters and a space.
    constexpr size_t kLineCapacity = kExpectedPairsPerLine * 3;
    char line[kLineCapacity + 1];
    size_t used = 0;
    size_t counted = 0;
    if (expected == nullptr)
        return;
    for (const char *p = expected; *p != '\0'; p++) {
        if (!IsExpectedCharacter(*p))
            continue;
        line[used++] = *p;
        counted++;
        if (counted % 2 != 0)
            continue;
        line[used++] = ' ';
        if (used == kLineCapacity) {
            line[used] = '\0';
            puts(line);
            used = 0;
        }
    }
    if (used > 0) {
        line[used] = '\0';
        puts(line);
    }
}
