#include "script.h"

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "byte_buffer.h"
#include "hex.h"
#include "messages.h"

namespace {

constexpr size_t kCommandBufferSize = 1024;
// 65536 data bytes and the two status bytes of the longest response APDU.
constexpr size_t kResponseBufferSize = 65538;
constexpr size_t kExpectedBufferSize = 1024;
constexpr size_t kFirstLineCapacity = 1024;
constexpr size_t kLineGrowth = 1024;
constexpr const char *kTokenSeparators = " \t\r\n";
constexpr char kCommentStart = ';';

// Everything one run of a script works with.
struct ScriptRun {
    FILE *file;
    const char *path;
    int lineNumber;
    ReaderHandle hReader;
    KYT_ULONG slot;
    ScriptTransmitFn transmit;
    ByteBuffer *command;
    ByteBuffer *response;
    ByteBuffer *expected;
};

// A text line holds no control characters other than white space; a zero
// byte in particular means the file is not a script at all.
bool IsTextLine(const char *line, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        bool whiteSpace = c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
        if ((c < 0x20 && !whiteSpace) || c == 0x7F)
            return false;
    }
    return true;
}

bool IsSkippedLine(const char *line)
{
    const char *first = line + strspn(line, kTokenSeparators);
    return *first == '\0' || *first == kCommentStart;
}

// The next line that is neither blank nor a comment, or null when the run
// must end (end of file, read error, no memory, not a text file).
char *NextContentLine(ScriptRun &run)
{
    for (;;) {
        size_t length = 0;
        char *line = ReadLine(run.file, &length);
        if (line == nullptr) {
            if (ferror(run.file))
                printf("Error: Cannot read %s\n", run.path);
            return nullptr;
        }
        run.lineNumber++;
        if (!IsTextLine(line, length)) {
            printf("Error: %s is not a text file (line %d)\n", run.path, run.lineNumber);
            free(line);
            return nullptr;
        }
        if (!IsSkippedLine(line))
            return line;
        free(line);
    }
}

// Appends the bytes of every token of a command line.  A token without a
// whole byte ends the run: sending the rest of the line would not be the
// command that was written.
bool ParseCommandLine(ScriptRun &run, char *line)
{
    char *state = nullptr;
    for (char *token = strtok_r(line, kTokenSeparators, &state); token != nullptr;
         token = strtok_r(nullptr, kTokenSeparators, &state)) {
        size_t count = 0;
        unsigned char *bytes = HexToBytes(token, &count);
        if (bytes == nullptr) {
            puts(kMsgNoMemory);
            return false;
        }
        if (count == 0) {
            printf("Error: Command token \"%s\" on line %d has fewer than two hexadecimal digits\n", token,
                   run.lineNumber);
            free(bytes);
            return false;
        }
        bool appended = ByteBuffer_Append(run.command, bytes, count);
        free(bytes);
        if (!appended) {
            puts(kMsgNoMemory);
            return false;
        }
    }
    return true;
}

// Joins the tokens of an expected-response line with single spaces and ends
// the text with a zero byte.
bool ParseExpectedLine(ScriptRun &run, char *line)
{
    static const unsigned char kSpace = ' ';
    static const unsigned char kTerminator = '\0';
    char *state = nullptr;
    for (char *token = strtok_r(line, kTokenSeparators, &state); token != nullptr;
         token = strtok_r(nullptr, kTokenSeparators, &state)) {
        if (run.expected->length > 0 && !ByteBuffer_Append(run.expected, &kSpace, 1)) {
            puts(kMsgNoMemory);
            return false;
        }
        const unsigned char *text = reinterpret_cast<const unsigned char *>(token);
        if (!ByteBuffer_Append(run.expected, text, strlen(token))) {
            puts(kMsgNoMemory);
            return false;
        }
    }
    if (!ByteBuffer_Append(run.expected, &kTerminator, 1)) {
        puts(kMsgNoMemory);
        return false;
    }
    return true;
}

// Sends the command and compares the response; true when the run goes on.
bool SendAndCompare(ScriptRun &run)
{
    puts("Command:");
    PrintHex(run.command->data, run.command->length);

    run.response->length = run.response->size;
    KYT_ULONG responseLength = run.response->size;
    KYT_STATUS status = run.transmit(run.hReader, run.slot, run.command->data, run.command->length, run.response->data,
                                     run.response->size, &responseLength);
    if (status != 0)
        return false;
    if (responseLength > run.response->size) {
        puts(kMsgBadLength);
        return false;
    }
    run.response->length = responseLength;

    puts("Response:");
    PrintHex(run.response->data, run.response->length);
    const char *expected = reinterpret_cast<const char *>(run.expected->data);
    puts("Expected:");
    PrintExpected(expected);

    int errorIndex = -1;
    if (CompareResponse(expected, run.response->data, run.response->length, &errorIndex) == 0) {
        puts("Compare OK");
        return true;
    }
    if (errorIndex >= 0)
        printf("Error: Unexpected response at byte %d\n", errorIndex);
    else
        printf("Error: Unexpected response\n");
    return false;
}

// Runs pairs until the end of the file or the first failure.
void RunPairs(ScriptRun &run)
{
    while (!feof(run.file)) {
        run.command->length = 0;
        run.expected->length = 0;

        char *line = NextContentLine(run);
        if (line == nullptr)
            return;
        bool parsed = ParseCommandLine(run, line);
        free(line);
        if (!parsed)
            return;

        line = NextContentLine(run);
        if (line == nullptr)
            return; // a command without an expectation is not sent
        parsed = ParseExpectedLine(run, line);
        free(line);
        if (!parsed || !SendAndCompare(run))
            return;
    }
}

// The script file, or null when it cannot be opened or is a directory.
FILE *OpenScript(const char *path)
{
    FILE *file = fopen(path, "r");
    if (file == nullptr)
        return nullptr;
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode)) {
        fclose(file);
        return nullptr;
    }
    return file;
}

} // namespace

char *ReadLine(FILE *file, size_t *length)
{
    size_t capacity = kFirstLineCapacity;
    char *line = static_cast<char *>(malloc(capacity));
    if (line == nullptr) {
        puts(kMsgNoMemory);
        return nullptr;
    }
    size_t used = 0;
    int c;
    while ((c = getc(file)) != EOF) {
        if (used == kMaxScriptLineLength) {
            printf("Error: A script line is longer than %d characters\n", static_cast<int>(kMaxScriptLineLength));
            free(line);
            return nullptr;
        }
        if (used + 1 == capacity) { // keep room for the terminator
            char *larger = static_cast<char *>(realloc(line, capacity + kLineGrowth));
            if (larger == nullptr) {
                puts(kMsgNoMemory);
                free(line);
                return nullptr;
            }
            line = larger;
            capacity += kLineGrowth;
        }
        line[used++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    if (used == 0 || ferror(file)) {
        free(line);
        return nullptr;
    }
    line[used] = '\0';
    if (length != nullptr)
        *length = used;
    return line;
}

void RunScript(ReaderHandle hReader, KYT_ULONG slot, const char *path, ScriptTransmitFn transmit)
{
    printf("Opening %s...\n", path);
    FILE *file = OpenScript(path);
    if (file == nullptr) {
        printf("Error: Cannot open %s\n", path);
        return;
    }
    ScriptRun run = {file, path, 0, hReader, slot, transmit, nullptr, nullptr, nullptr};
    run.command = ByteBuffer_Create(kCommandBufferSize);
    run.response = run.command ? ByteBuffer_Create(kResponseBufferSize) : nullptr;
    run.expected = run.response ? ByteBuffer_Create(kExpectedBufferSize) : nullptr;
    if (run.expected == nullptr)
        puts(kMsgNoMemory);
    else
        RunPairs(run);
    ByteBuffer_Destroy(run.expected);
    ByteBuffer_Destroy(run.response);
    ByteBuffer_Destroy(run.command);
    fclose(file);
}

KYT_STATUS TransmitApdu(ReaderHandle hReader, KYT_ULONG slot, const unsigned char *command, KYT_ULONG commandLength,
                        unsigned char *response, KYT_ULONG /*responseSize: travels in *responseLength*/,
                        KYT_ULONG *responseLength)
{
    KYT_STATUS status = KYT_ExchangeApdu(hReader, slot, command, commandLength, response, responseLength);
    if (status != 0)
        PrintFailure("KYT_ExchangeApdu", status);
    return status;
}

KYT_STATUS TransmitControl(ReaderHandle hReader, KYT_ULONG slot, const unsigned char *command, KYT_ULONG commandLength,
                           unsigned char *response, KYT_ULONG responseSize, KYT_ULONG *responseLength)
{
    KYT_STATUS status =
        KYT_Control(hReader, slot, KYT_IOCTL_ESCAPE, command, commandLength, response, responseSize, responseLength);
    if (status != 0)
        PrintFailure("KYT_Control", status);
    return status;
}
