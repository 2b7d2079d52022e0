#include "console.h"

#include <climits>
#include <cstdio>

namespace {

bool g_inputEnded = false;

// The next character of standard input, or EOF for good once input ended
// (a read error counts as the end).
int NextChar()
{
    if (g_inputEnded)
        return EOF;
    int c = getchar();
    if (c == EOF)
        g_inputEnded = true;
    return c;
}

void PutBack(int c)
{
    if (c != EOF)
        ungetc(c, stdin);
}

bool IsSpace(int c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(int c)
{
    return c >= '0' && c <= '9';
}

// Discards the rest of a line whose character c has been read already.
void DiscardLineFrom(int c)
{
    if (c != '\n' && c != EOF)
        SkipLine();
}

} // namespace

NumberInput ReadNumber(int *value)
{
    fflush(stdout);
    int c = NextChar();
    while (IsSpace(c))
        c = NextChar();
    if (c == EOF)
        return NumberInput::EndOfInput;

    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = NextChar();
    }
    if (!IsDigit(c)) {
        DiscardLineFrom(c);
        return InputEnded() ? NumberInput::EndOfInput : NumberInput::NotNumber;
    }

    // Magnitudes beyond INT_MAX + 1 cannot be an int of either sign.
    const long long limit = static_cast<long long>(INT_MAX) + 1;
    long long magnitude = 0;
    for (; IsDigit(c); c = NextChar()) {
        if (magnitude <= limit)
            magnitude = magnitude * 10 + (c - '0');
    }
    PutBack(c);
    long long number = negative ? -magnitude : magnitude;
    if (number > INT_MAX || number < INT_MIN) {
        SkipLine();
        return NumberInput::NotNumber;
    }
    *value = static_cast<int>(number);
    return NumberInput::Number;
}

int ReadMenuChoice()
{
    int choice = 0;
    switch (ReadNumber(&choice)) {
    case NumberInput::Number:
        return choice;
    case NumberInput::NotNumber:
        return -1;
    case NumberInput::EndOfInput:
        break;
    }
    return 0;
}

void SkipLine()
{
    int c = NextChar();
    while (c != '\n' && c != EOF)
        c = NextChar();
}

void WaitForEnter()
{
    printf("Press [Enter] key to continue...");
    fflush(stdout);
    NextChar();
    printf("\n");
}

// Reads one line into name; false when it is longer than the buffer (the
// rest of it has been discarded).  *ended is set at the end of input with
// nothing read.
static bool ReadNameLine(char name[kScriptNameSize], bool *ended)
{
    size_t used = 0;
    int c = NextChar();
    *ended = c == EOF;
    for (; c != '\n' && c != EOF; c = NextChar()) {
        if (used == kScriptNameSize - 1) {
            SkipLine();
            return false;
        }
        name[used++] = static_cast<char>(c);
    }
    name[used] = '\0';
    return true;
}

bool PromptScriptName(char name[kScriptNameSize])
{
    for (;;) {
        printf("Enter a script filename: ");
        fflush(stdout);
        bool ended = false;
        if (!ReadNameLine(name, &ended)) {
            printf("Error: The file name is longer than %d characters\n", static_cast<int>(kScriptNameSize - 1));
            continue;
        }
        if (ended) {
            printf("\n");
            return false;
        }
        if (name[0] != '\0')
            return true;
    }
}

bool InputEnded()
{
    return g_inputEnded;
}
