// Hexadecimal conversion, comparison with wildcard expectations, hex output.
#ifndef KYT_TEST_HEX_H
#define KYT_TEST_HEX_H

#include <cstddef>

// 0 to 15 for 0-9, A-F and a-f; -1 for any other character.
int HexDigitValue(char character);

// The bytes spelled by the token's hexadecimal digits, taken in pairs (the
// first of a pair is the high nibble); other characters are ignored and an
// unpaired last digit is dropped.  Returns a heap array the caller frees,
// or null when memory runs out; *count receives the number of whole bytes.
unsigned char *HexToBytes(const char *token, size_t *count);

// Compares a response with an expected text: every hexadecimal digit of the
// text must equal the response's next nibble, X or x matches any nibble, and
// all other characters are ignored.  The response must have exactly half as
// many bytes as the text has such characters.  Returns 0 on a match, -1
// otherwise; *errorIndex receives the byte last reached, or -1.
int CompareResponse(const char *expected, const unsigned char *response, size_t length, int *errorIndex);

// Upper-case hex, 16 bytes to a line, single spaces between bytes.
void PrintHex(const unsigned char *bytes, size_t length);

// The expected text's digits and wildcards in pairs, 16 pairs to a line,
// each pair followed by a space.
void PrintExpected(const char *expected);

#endif
