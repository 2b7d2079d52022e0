// The script runner and its helpers: hex conversion, wildcard comparison,
// hex output, line reading and whole runs through a transmit function of
// the test's own.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "byte_buffer.h"
#include "hex.h"
#include "script.h"
#include "temp_files.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Runs `body` with standard output redirected to a temporary file and
// returns what it printed.
std::string CaptureStdout(const std::function<void()> &body)
{
    fflush(stdout);
    FILE *capture = tmpfile();
    if (capture == nullptr) {
        ADD_FAILURE() << "no temporary file";
        return {};
    }
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(capture), STDOUT_FILENO);
    body();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);

    std::string text;
    rewind(capture);
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, capture)) > 0)
        text.append(chunk, got);
    fclose(capture);
    return text;
}

using rig::ScriptFile;

// The far end of a run: records every command and answers from a list.
struct FakeLink {
    std::vector<Bytes> received;
    std::vector<Bytes> answers;   // answered in turn; 90 00 when they run out
    KYT_STATUS status = 0;        // returned for every command when not 0
    KYT_ULONG reportedLength = 0; // when not 0, reported instead of the answer's length
};
FakeLink g_link;

KYT_STATUS FakeTransmit(ReaderHandle, KYT_ULONG, const unsigned char *command, KYT_ULONG commandLength,
                        unsigned char *response, KYT_ULONG responseSize, KYT_ULONG *responseLength)
{
    EXPECT_EQ(*responseLength, responseSize);
    g_link.received.emplace_back(command, command + commandLength);
    if (g_link.status != 0) {
        printf("transmit failed\n");
        return g_link.status;
    }
    size_t turn = g_link.received.size() - 1;
    Bytes answer = turn < g_link.answers.size() ? g_link.answers[turn] : Bytes{0x90, 0x00};
    EXPECT_LE(answer.size(), responseSize);
    if (!answer.empty())
        memcpy(response, answer.data(), answer.size());
    *responseLength = g_link.reportedLength != 0 ? g_link.reportedLength : answer.size();
    return 0;
}

std::string RunWithLink(const ScriptFile &script, FakeLink link = FakeLink())
{
    g_link = std::move(link);
    return CaptureStdout([&] { RunScript(nullptr, 0, script.path.c_str(), FakeTransmit); });
}

std::string Opening(const ScriptFile &script)
{
    return "Opening " + script.path + "...\n";
}

TEST(HexToBytes, TakesDigitPairsAndIgnoresEverythingElse)
{
    struct Case {
        const char *token;
        Bytes bytes;
    } cases[] = {
        {"00A4", {0x00, 0xA4}},
        {"3f:00", {0x3F, 0x00}},
        {"123", {0x12}},  // unpaired last digit dropped
        {"0x9F", {0x09}}, // x ignored, F unpaired
        {"XX", {}},       // wildcards are no digits here
        {";", {}},
        {"", {}},
    };
    for (const Case &c : cases) {
        size_t count = 99;
        unsigned char *bytes = HexToBytes(c.token, &count);
        ASSERT_NE(bytes, nullptr) << c.token;
        EXPECT_EQ(Bytes(bytes, bytes + count), c.bytes) << c.token;
        free(bytes);
    }
    EXPECT_EQ(HexDigitValue('a'), 10);
    EXPECT_EQ(HexDigitValue('F'), 15);
    EXPECT_EQ(HexDigitValue('g'), -1);
    EXPECT_EQ(HexDigitValue('x'), -1);
}

TEST(CompareResponse, WildcardsAndTheByteReportedForEachMismatch)
{
    struct Case {
        const char *expected;
        Bytes response;
        int result;
        int errorIndex;
    } cases[] = {
        {"9000", {0x90, 0x00}, 0, 1},
        {"9 0 0 0", {0x90, 0x00}, 0, 1}, // digits pair across tokens
        {"90 0X", {0x90, 0x0F}, 0, 1},
        {"6X XX", {0x6A, 0x82}, 0, 1},
        {"x0 0x", {0x10, 0x0E}, 0, 1},      // lower-case wildcard
        {"6a 82", {0x6A, 0x82}, 0, 1},      // lower-case digits
        {"[90] ok 00", {0x90, 0x00}, 0, 1}, // other characters ignored
        {"90 00 00", {0x90, 0x00}, -1, 1},  // longer: the last byte
        {"90", {0x90, 0x00}, -1, 0},        // shorter: the last byte reached
        {"900", {0x90, 0x00}, -1, 1},       // odd count
        {"91 00", {0x90, 0x00}, -1, 0},     // differing high nibble
        {"90 01", {0x90, 0x00}, -1, 1},     // differing low nibble
        {"", {0x90, 0x00}, -1, -1},
        {"; --", {0x90, 0x00}, -1, -1},
        {"90 00", {}, -1, -1}, // empty response
    };
    for (const Case &c : cases) {
        int errorIndex = 42;
        const unsigned char *data = c.response.empty() ? nullptr : c.response.data();
        EXPECT_EQ(CompareResponse(c.expected, data, c.response.size(), &errorIndex), c.result) << c.expected;
        EXPECT_EQ(errorIndex, c.errorIndex) << c.expected;
    }
    int errorIndex = 42;
    const unsigned char byte = 0x90;
    EXPECT_EQ(CompareResponse(nullptr, &byte, 1, &errorIndex), -1);
    EXPECT_EQ(errorIndex, -1);
}

TEST(PrintHex, SixteenBytesToALineWithoutOuterSpaces)
{
    Bytes seventeen;
    for (int i = 0; i < 17; i++)
        seventeen.push_back(static_cast<unsigned char>(i * 15));
    EXPECT_EQ(CaptureStdout([&] { PrintHex(seventeen.data(), 0); }), "");
    EXPECT_EQ(CaptureStdout([&] { PrintHex(seventeen.data() + 11, 1); }), "A5\n");
    EXPECT_EQ(CaptureStdout([&] { PrintHex(seventeen.data(), 16); }),
              "00 0F 1E 2D 3C 4B 5A 69 78 87 96 A5 B4 C3 D2 E1\n");
    EXPECT_EQ(CaptureStdout([&] { PrintHex(seventeen.data(), 17); }),
              "00 0F 1E 2D 3C 4B 5A 69 78 87 96 A5 B4 C3 D2 E1\nF0\n");
}

TEST(PrintExpected, PairsEachFollowedByASpaceSixteenToALine)
{
    std::string thirtyTwo(32, 'X');
    std::string fullLine;
    for (int i = 0; i < 16; i++)
        fullLine += "XX ";
    struct Case {
        std::string text;
        std::string printed;
    } cases[] = {
        {"90 00", "90 00 \n"},
        {"6a xX", "6a xX \n"}, // written case kept
        {"9", "9\n"},          // unpaired last character alone
        {"9 0 0", "90 0\n"},
        {"; -- ;", ""},
        {thirtyTwo, fullLine + "\n"},
        {thirtyTwo + "90", fullLine + "\n90 \n"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(CaptureStdout([&] { PrintExpected(c.text.c_str()); }), c.printed) << c.text;
}

TEST(ByteBuffer, GrowsByExactlyTheCountAppended)
{
    ByteBuffer *buffer = ByteBuffer_Create(4);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->length, 0u);
    EXPECT_EQ(Bytes(buffer->data, buffer->data + 4), Bytes(4, 0));

    const unsigned char bytes[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_TRUE(ByteBuffer_Append(buffer, bytes, 3));
    EXPECT_TRUE(ByteBuffer_Append(buffer, bytes, 6)); // 9 > 4: grows by 6
    EXPECT_EQ(buffer->size, 10u);
    EXPECT_EQ(buffer->length, 9u);
    EXPECT_EQ(Bytes(buffer->data, buffer->data + 9), (Bytes{1, 2, 3, 1, 2, 3, 4, 5, 6}));

    EXPECT_FALSE(ByteBuffer_Append(buffer, bytes, 0));
    EXPECT_FALSE(ByteBuffer_Append(buffer, nullptr, 1));
    EXPECT_FALSE(ByteBuffer_Append(nullptr, bytes, 1));
    EXPECT_FALSE(ByteBuffer_Grow(buffer, 0));
    EXPECT_EQ(buffer->size, 10u);
    ByteBuffer_Destroy(buffer);
    ByteBuffer_Destroy(nullptr);
}

TEST(ReadLine, WholeLinesOfAnyLengthAndALastLineWithoutLineFeed)
{
    std::string longLine(3000, 'A');
    ScriptFile script(longLine + "\n\nlast");
    FILE *file = fopen(script.path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    size_t length = 0;
    char *line = ReadLine(file, &length);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::string(line), longLine + "\n");
    EXPECT_EQ(length, 3001u);
    free(line);
    line = ReadLine(file);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "\n");
    free(line);
    line = ReadLine(file);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "last");
    free(line);
    EXPECT_EQ(ReadLine(file), nullptr);
    fclose(file);
}

TEST(ReadLine, ReportsZeroBytesAndRefusesAnEnormousLine)
{
    ScriptFile script(std::string("ab\0cd\n", 6) + std::string(kMaxScriptLineLength + 1, '0'));
    FILE *file = fopen(script.path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    size_t length = 0;
    char *line = ReadLine(file, &length);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(std::string(line, length), std::string("ab\0cd\n", 6));
    free(line);
    char *tooLong = reinterpret_cast<char *>(1);
    std::string printed = CaptureStdout([&] { tooLong = ReadLine(file); });
    EXPECT_EQ(tooLong, nullptr);
    EXPECT_EQ(printed, "Error: A script line is longer than 1048576 characters\n");
    fclose(file);
}

TEST(RunScript, PassingScriptTranscript)
{
    ScriptFile script(
        "; select the root file\r\n"
        "00 A4 00 00 02 3F 00\r\n"
        "90 00\r\n"
        "\r\n"
        "\t  ; a comment after blanks\n"
        "00b0 0000 04\n"
        "xx XX 0a Xb 90 00\n");
    FakeLink link;
    link.answers = {{0x90, 0x00}, {0x01, 0x02, 0x0A, 0x0B, 0x90, 0x00}};
    std::string out = RunWithLink(script, link);
    EXPECT_EQ(out, Opening(script) +
                       "Command:\n00 A4 00 00 02 3F 00\n"
                       "Response:\n90 00\n"
                       "Expected:\n90 00 \n"
                       "Compare OK\n"
                       "Command:\n00 B0 00 00 04\n"
                       "Response:\n01 02 0A 0B 90 00\n"
                       "Expected:\nxx XX 0a Xb 90 00 \n"
                       "Compare OK\n");
    ASSERT_EQ(g_link.received.size(), 2u);
}

TEST(RunScript, MismatchEndsTheRun)
{
    ScriptFile script(
        "00 B0 00 00 02\n"
        "XX XX 90 00\n"
        "00 B0 00 00 02\n"
        "90 00\n");
    FakeLink link;
    link.answers = {{0x6A, 0x82}};
    std::string out = RunWithLink(script, link);
    EXPECT_EQ(out, Opening(script) +
                       "Command:\n00 B0 00 00 02\n"
                       "Response:\n6A 82\n"
                       "Expected:\nXX XX 90 00 \n"
                       "Error: Unexpected response at byte 1\n");
    EXPECT_EQ(g_link.received.size(), 1u);
}

TEST(RunScript, EmptyResponseIsAMismatchWithoutByteIndex)
{
    ScriptFile script("80 CA 9F 7F 00\n90 00\n");
    FakeLink link;
    link.answers = {{}};
    EXPECT_EQ(RunWithLink(script, link), Opening(script) +
                                             "Command:\n80 CA 9F 7F 00\n"
                                             "Response:\n"
                                             "Expected:\n90 00 \n"
                                             "Error: Unexpected response\n");
}

TEST(RunScript, TransmitFailureEndsTheRunWithItsOwnMessage)
{
    ScriptFile script("00 84 00 00 08\nXX XX XX XX XX XX XX XX 90 00\n00 84 00 00 08\n90 00\n");
    FakeLink link;
    link.status = 0xA0100069;
    EXPECT_EQ(RunWithLink(script, link), Opening(script) + "Command:\n00 84 00 00 08\ntransmit failed\n");
    EXPECT_EQ(g_link.received.size(), 1u);
}

TEST(RunScript, FilesThatSendNothing)
{
    ScriptFile comments("; only a comment\n\n   \r\n;another\n");
    EXPECT_EQ(RunWithLink(comments), Opening(comments));

    ScriptFile dangling("00 A4 04 00\n90 00\n00 B0 00 00 00\n");
    EXPECT_EQ(RunWithLink(dangling), Opening(dangling) +
                                         "Command:\n00 A4 04 00\nResponse:\n90 00\n"
                                         "Expected:\n90 00 \nCompare OK\n");
    EXPECT_EQ(g_link.received.size(), 1u); // the last command has no expectation

    std::string missing = "/nonexistent/kyt/none.apdu";
    g_link = FakeLink();
    EXPECT_EQ(CaptureStdout([&] { RunScript(nullptr, 0, missing.c_str(), FakeTransmit); }),
              "Opening " + missing + "...\nError: Cannot open " + missing + "\n");

    ScriptFile any("");
    EXPECT_EQ(CaptureStdout([&] { RunScript(nullptr, 0, any.dir.c_str(), FakeTransmit); }),
              "Opening " + any.dir + "...\nError: Cannot open " + any.dir + "\n");
    EXPECT_TRUE(g_link.received.empty());
}

TEST(RunScript, LastLineWithoutLineFeedIsTheExpectation)
{
    ScriptFile script("00 A4 04 00\n90 00");
    std::string out = RunWithLink(script);
    EXPECT_EQ(out, Opening(script) +
                       "Command:\n00 A4 04 00\nResponse:\n90 00\n"
                       "Expected:\n90 00 \nCompare OK\n");
}

TEST(RunScript, CommandTokensConvertOneByOne)
{
    // 0x9F gives 09 (x ignored, F unpaired); 123 gives 12; 00A4 0400 two bytes each.
    ScriptFile script("0x9F 123 00A4 0400 ;x=1e\n9000\n");
    RunWithLink(script);
    ASSERT_EQ(g_link.received.size(), 1u);
    EXPECT_EQ(g_link.received[0], (Bytes{0x09, 0x12, 0x00, 0xA4, 0x04, 0x00, 0x1E}));
}

TEST(RunScript, TokenWithoutAWholeByteEndsTheRunNamingIt)
{
    ScriptFile script("; wildcards make no command\n00 A4 XX 00\n90 00\n");
    EXPECT_EQ(RunWithLink(script),
              Opening(script) + "Error: Command token \"XX\" on line 2 has fewer than two hexadecimal digits\n");
    EXPECT_TRUE(g_link.received.empty());
}

TEST(RunScript, CommandLineLongerThanTheFirstBuffersIsOneCommand)
{
    // 700 tokens of three characters: a 2100-character line of 700 bytes.
    std::string line;
    Bytes expected;
    for (int i = 0; i < 700; i++) {
        char token[4];
        snprintf(token, sizeof token, "%02X ", i & 0xFF);
        line += token;
        expected.push_back(static_cast<unsigned char>(i & 0xFF));
    }
    ScriptFile script(line + "\n90 00\n");
    std::string out = RunWithLink(script);
    ASSERT_EQ(g_link.received.size(), 1u);
    EXPECT_EQ(g_link.received[0], expected);
    EXPECT_NE(out.find("\nCompare OK\n"), std::string::npos);
}

TEST(RunScript, ExpectationOverSeveralLinesOfPairs)
{
    Bytes answer(20, 0xAB);
    std::string expectedLine;
    for (int i = 0; i < 20; i++)
        expectedLine += "AB";
    ScriptFile script("00 B0 00 00 14\n" + expectedLine + "\n");
    FakeLink link;
    link.answers = {answer};
    std::string sixteen;
    for (int i = 0; i < 16; i++)
        sixteen += "AB ";
    EXPECT_EQ(RunWithLink(script, link), Opening(script) +
                                             "Command:\n00 B0 00 00 14\n"
                                             "Response:\nAB AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB\n"
                                             "AB AB AB AB\n"
                                             "Expected:\n" +
                                             sixteen + "\nAB AB AB AB \nCompare OK\n");
}

TEST(RunScript, ResponseLengthBeyondTheBufferIsRefused)
{
    ScriptFile script("00 B0 00 00 00\n90 00\n");
    FakeLink link;
    link.reportedLength = 65539;
    EXPECT_EQ(RunWithLink(script, link), Opening(script) +
                                             "Command:\n00 B0 00 00 00\n"
                                             "Error: Response length is invalid\n");
}

TEST(RunScript, BinaryFileIsRefusedBeforeAnythingIsSent)
{
    ScriptFile script(
        std::string("\x7f"
                    "ELF\x02\x01\x01\0\0\0\n90 00\n",
                    14));
    EXPECT_EQ(RunWithLink(script), Opening(script) + "Error: " + script.path + " is not a text file (line 1)\n");
    EXPECT_TRUE(g_link.received.empty());
}

} // namespace
