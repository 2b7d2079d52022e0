// Console input of kyt_test.  Every read flushes standard output first, so
// a prompt is always visible before the program waits.  Once standard input
// has ended every later read reports the end at once.
#ifndef KYT_TEST_CONSOLE_H
#define KYT_TEST_CONSOLE_H

#include <cstddef>

enum class NumberInput { Number, NotNumber, EndOfInput };

// Reads a decimal number as "%d" does: white space (line feeds included) is
// skipped, then an optional sign and digits; the rest of the line stays
// unread.  Input that is no number in the range of int is NotNumber, and the
// rest of its line has been discarded.
NumberInput ReadNumber(int *value);

// Reads a menu choice: the number, 0 at the end of input (so every menu is
// left), or -1 (a choice that names no entry) for input that is no number.
int ReadMenuChoice();

// Discards the rest of the current line, its line feed included.
void SkipLine();

// "Press [Enter] key to continue...", one character read, a line feed.
void WaitForEnter();

// The size of the file name buffers; a name has at most one less.
inline constexpr size_t kScriptNameSize = 512;

// Asks for a script file name until a non-empty one is given.  False at the
// end of input.  A name longer than kScriptNameSize - 1 is refused whole.
bool PromptScriptName(char name[kScriptNameSize]);

// True once standard input has ended.
bool InputEnded();

#endif
