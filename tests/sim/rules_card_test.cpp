// Cards described by rules files and sessions recorded as rules files, with
// the real kyt_sim program and the library on its pty: a rules card answering
// as its file says, broken files refused with their line, rules cards put in
// on standard input, and a recorded session replayed.
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "kyt.h"
#include "reader_rig.h"
#include "rules_card.h"
#include "sim_program.h"
#include "sim_rig.h"
#include "temp_files.h"

using kytsim::Bytes;

namespace {

using rig::SimRig;
using rig::TempFolder;

std::string ReadFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// kyt_sim with its console at its end (rules cards given on the command
// line), or on a pipe for Ask.
const rig::SimOptions kQuiet = {rig::Input::Null};
const rig::SimOptions kConsole = {rig::Input::Pipe};

// A T=1 ATR (TD1 80, TD2 01, one historical byte 80, TCK 80).
const char kRulesAtr[] = "3B 81 80 01 80 80";

// The fine points of the format at once: CR LF line ends and a last line
// without one, "atr" in lower case with blanks in the ATR, bytes grouped in
// twos and fours, lower-case digits and wildcards, comments between a
// pattern and its response.
const char kRules[] =
    "; a card for the tests\r\n"
    "  atr 3B 81 8001 80 80\r\n"
    "\r\n"
    "00B0 0000 04\r\n"
    "01 02 03 04 90 00\r\n"
    "00 B0 00 1X 04\r\n"
    "; the low nibble of P2 is any\r\n"
    "11 90 00\r\n"
    "00 b0 x1 00 02\r\n"
    "22 90 00\r\n"
    "00 A4 04 00 03 F0 01 02 *\r\n"
    "90 00\r\n"
    "00 A4 04 00*\r\n"
    "6a 82\r\n"
    "00 CA 9F 36 00\r\n"
    "9F 36 02 00 01 90 00\r\n"
    "00 CA XX XX 00\r\n"
    "6A 88\r\n"
    "00 CA 9F 36 00\r\n"
    "FF FF\r\n"
    "00 C0 00 00 *\r\n"
    "61 00\r\n"
    "\t80 E0 XX XX *  \r\n"
    "69 82";

TEST(RulesCard, AnswersWithTheFirstRuleThatMatches)
{
    rig::ScriptFile rules(kRules, "card.rules");
    SimRig sim({"--card", "1:rules:" + rules.path}, kQuiet);
    ASSERT_TRUE(sim.Ready());
    EXPECT_EQ(sim.Atr(1), rig::Hex(kRulesAtr));

    const struct {
        const char *command;
        const char *response;
    } cases[] = {
        {"00 B0 00 00 04", "01 02 03 04 90 00"},
        {"00 B0 00 00 04 00", "6D 00"}, // no '*': not one byte more
        {"00 B0 00 1A 04", "11 90 00"}, // X: any low nibble...
        {"00 B0 00 10 04", "11 90 00"},
        {"00 B0 00 20 04", "6D 00"},    // ...but the high one as written
        {"00 B0 F1 00 02", "22 90 00"}, // x in the high nibble
        {"00 B0 F2 00 02", "6D 00"},
        {"00 A4 04 00 03 F0 01 02", "90 00"},    // '*': no further bytes...
        {"00 A4 04 00 03 F0 01 02 00", "90 00"}, // ...or some
        {"00 A4 04 00 03 F0 01", "6A 82"},       // shorter: the next rule
        {"00 A4 04 00 05 A0 00 00 00 01", "6A 82"},
        {"00 CA 9F 36 00", "9F 36 02 00 01 90 00"}, // the first of two rules for it
        {"00 CA 5F 20 00", "6A 88"},
        {"00 C0 00 00", "61 00"},
        {"80 E0 01 02 03 04 05 06", "69 82"},
        {"80 E0 01", "6D 00"},
        {"80 10 00 00", "6D 00"}, // nothing matches
    };
    for (const auto &c : cases)
        EXPECT_EQ(sim.Answer(1, rig::Hex(c.command)), rig::Hex(c.response)) << c.command;
    // No state: after a power cycle the same answers.
    sim.PowerOff(1);
    EXPECT_EQ(sim.Atr(1), rig::Hex(kRulesAtr));
    EXPECT_EQ(sim.Answer(1, rig::Hex("00 CA 9F 36 00")), rig::Hex("9F 36 02 00 01 90 00"));
}

// The example file answers as its comments say.
TEST(RulesCard, TheExampleFileAnswersAsItsCommentsSay)
{
    std::string error;
    std::optional<kytsim::Rules> rules =
        kytsim::ReadRulesFile(std::string(KYT_SOURCE_DIR) + "/examples/rules-card.rules", &error);
    ASSERT_TRUE(rules) << error;
    EXPECT_EQ(rules->Atr(), rig::Hex("3B 88 80 01 4B 59 54 52 55 4C 45 53 12"));
    const struct {
        const char *command;
        const char *response;
    } cases[] = {
        {"00 A4 04 00 06 F0 52 55 4C 45 53", "6F 0E 84 06 F0 52 55 4C 45 53 A5 04 50 02 4F 4B 90 00"},
        {"00 A4 04 00 06 F0 52 55 4C 45 53 00", "6F 0E 84 06 F0 52 55 4C 45 53 A5 04 50 02 4F 4B 90 00"},
        {"00 A4 04 00 02 F0 52 00", "6A 82"},
        {"80 CA 9F 36 00", "9F 36 02 00 2A 90 00"},
        {"00 CA 9F 36 02", "9F 36 02 00 2A 90 00"},
        {"84 CA 9F 36 00", "6A 81"}, // X0: the low nibble of the class is 0
        {"00 CA 5F 20 00", "6A 88"},
        {"00 84 00 00 08", "01 23 45 67 89 AB CD EF 90 00"},
        {"00 B0 00 00 10", "6A 81"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(rules->Answer(rig::Hex(c.command)), rig::Hex(c.response)) << c.command;
}

// A file kyt_sim refuses, the line its message names and what it says.
struct BrokenFile {
    const char *what;
    std::string text;
    int line;
    const char *reason;
};

std::string Repeated(const std::string &piece, size_t times)
{
    std::string text;
    for (size_t i = 0; i < times; i++)
        text += piece;
    return text;
}

TEST(RulesCard, BrokenFilesAreRefusedWithTheirLine)
{
    const BrokenFile files[] = {
        {"odd digits", "ATR 3B 00\n00 A4 0\n90 00\n", 2, "odd number of hex digits in \"0\""},
        {"blank inside a byte", "ATR 3B 00\n00 A 4\n90 00\n", 2, "odd number of hex digits in \"A\""},
        {"CR LF lines", "ATR 3B 00\r\n00 A4\r\n90 00 0\r\n", 3, "odd number"},
        {"bad character", "ATR 3B 00\n\n00 A4 00 0G\n90 00\n", 3, "unexpected character 'G'"},
        {"NUL byte", std::string("ATR 3B 00\n00 A4\n90") + '\0' + "00\n", 3, "unexpected byte 0x00"},
        {"pattern at the end", "ATR 3B 00\n00 A4 00 00\n; none\n\n", 2, "a command pattern without a response"},
        {"pattern before the ATR", "00 A4\nATR 3B 00\n90 00\n", 1, "a command pattern without a response"},
        {"no ATR", "00 A4\n90 00\n", 2, "without an ATR line"},
        {"empty", "", 1, "without an ATR line"},
        {"two ATRs", "ATR 3B 00\n00 A4\n90 00\nATR 3B 00\n", 4, "a second ATR line (the first is line 1)"},
        {"short ATR", "; one byte\nATR 3B\n", 2, "an ATR of 1 byte"},
        {"long ATR", "ATR 3B" + Repeated(" 00", 254) + "\n", 1, "an ATR of 255 bytes"},
        {"wildcard in the ATR", "ATR 3B 0X\n", 1, "wildcard 'X'"},
        {"short response", "ATR 3B 00\n00 A4\n90\n", 3, "a response of 1 byte"},
        {"wildcard in a response", "ATR 3B 00\n00 A4\n90 0x\n", 3, "wildcard 'x'"},
        {"'*' in a response", "ATR 3B 00\n00 A4\n90 00 *\n", 3, "wildcard '*'"},
        {"'*' inside", "ATR 3B 00\n00 * A4\n90 00\n", 2, "'*' stands only at the end"},
        {"long response", "ATR 3B 00\n00 A4\n" + Repeated("00", 65539) + "\n", 3, "a response of 65539 bytes"},
        {"long pattern", "ATR 3B 00\n" + Repeated("00", 65537) + "\n90 00\n", 2, "a command pattern of 65537 bytes"},
    };
    TempFolder folder;
    for (const BrokenFile &file : files) {
        std::string path = folder.Write("broken.rules", file.text);
        rig::Program program = rig::Spawn({"--card", "0:rules:" + path}, rig::Input::Null, rig::Errors::Merged);
        std::string output = rig::ReadAll(program.out);
        EXPECT_EQ(rig::Wait(program), 2) << file.what;
        std::string expected = "kyt_sim: " + path + ":" + std::to_string(file.line) + ": ";
        EXPECT_EQ(output.compare(0, expected.size(), expected), 0) << file.what << ": " << output;
        EXPECT_NE(output.find(file.reason), std::string::npos) << file.what << ": " << output;
    }
}

TEST(RulesCard, FilesThatCannotBeReadAreRefused)
{
    TempFolder folder;
    std::string large = folder.Path("large.rules");
    ASSERT_EQ(truncate(folder.Write("large.rules", "ATR 3B 00\n").c_str(), 16 * 1024 * 1024 + 1), 0);
    const struct {
        std::string path;
        const char *reason;
    } files[] = {
        {folder.Path("missing.rules"), "No such file or directory"},
        {folder.Path(""), "not a regular file"},
        {large, "larger than the 16 MiB a rules file may have"},
    };
    for (const auto &file : files) {
        rig::Program program = rig::Spawn({"--card", "0:rules:" + file.path}, rig::Input::Null, rig::Errors::Merged);
        std::string output = rig::ReadAll(program.out);
        EXPECT_EQ(rig::Wait(program), 2) << file.path;
        EXPECT_NE(output.find("kyt_sim: " + file.path + ": " + file.reason), std::string::npos) << output;
    }
}

// On standard input a broken file is answered with an error and kyt_sim
// goes on; a good one is put in.
TEST(RulesCard, InsertedOnStandardInput)
{
    TempFolder folder;
    std::string broken = folder.Write("broken.rules", "ATR 3B 00\n00 A4\n\n");
    std::string good = folder.Write("good.rules", kRules);
    SimRig sim({}, kConsole);
    ASSERT_TRUE(sim.Ready());
    EXPECT_EQ(sim.Ask("insert 2 rules:" + broken), "error: " + broken + ":2: a command pattern without a response");
    EXPECT_EQ(sim.Ask("insert 2 rules:" + folder.Path("missing")),
              "error: " + folder.Path("missing") + ": No such file or directory");
    EXPECT_EQ(sim.Ask("insert 2 rules:" + good), "ok: slot 2 holds rules:" + good);
    EXPECT_EQ(sim.Atr(2), rig::Hex(kRulesAtr));
    EXPECT_EQ(sim.Answer(2, rig::Hex("00 B0 00 00 04")), rig::Hex("01 02 03 04 90 00"));
}

// The APDUs of a recorded session.  Each list reads an EF before one is
// selected (69 86) and again after (data): on replay the first response wins.
const std::vector<const char *> kDemoSession = {
    "00 B0 00 00 02",
    "00 A4 04 00 08 F0 4B 59 54 44 45 4D 4F 00", // the application's FCI
    "00 A4 02 0C 02 01 01",
    "00 B0 00 00 00", // 256 bytes, in blocks of 64
    "00 B0 01 20 10", // 62 82 at the end of the file
    "00 84 00 00 10", // random, so the file has it
    "00 CA 9F 7F 00", // 6D 00
    "00 B0 00 00 02",
};
const std::vector<const char *> kAtrCardSession = {
    "00 B0 00 00 00 00 02", "00 A4 04 0C 08 F0 4B 59 54 44 45 4D 4F", "00 A4 02 0C 02 01 01",
    "00 B0 00 00 00 01 2C", // extended Le: all 300 bytes
    "00 B0 00 00 00 00 02",
};

// The responses of a session, power-on included (the ATR first).
using Session = std::vector<Bytes>;

Session RunSession(SimRig &sim, KYT_ULONG slot, const std::vector<const char *> &apdus)
{
    Session responses = {sim.Atr(slot)};
    for (const char *apdu : apdus)
        responses.push_back(sim.Answer(slot, rig::Hex(apdu)));
    return responses;
}

// What a replay answers: the response to each command's first occurrence.
Session FirstResponses(const Session &recorded, const std::vector<const char *> &apdus)
{
    Session expected = {recorded[0]};
    for (size_t i = 0; i < apdus.size(); i++) {
        size_t first = 0;
        while (std::string(apdus[first]) != apdus[i])
            first++;
        expected.push_back(recorded[first + 1]);
    }
    return expected;
}

TEST(Recording, ASessionKilledMidwayReplaysAsRulesCards)
{
    TempFolder folder;
    const std::string base = folder.Path("session");
    Session demo, atrCard, secondCard;
    {
        SimRig sim({"--record", base, "--block", "64", "--card", "0:demo-t1", "--card", "1:3B808031FE458A"}, kConsole);
        ASSERT_TRUE(sim.Ready());
        demo = RunSession(sim, 0, kDemoSession);
        atrCard = RunSession(sim, 1, kAtrCardSession);
        // Another card in slot 0 goes on in a file of its own.
        ASSERT_EQ(sim.Ask("insert 0 demo-t0"), "ok: slot 0 holds demo-t0");
        secondCard = RunSession(sim, 0, {"00 A4 00 0C 02 2F E2", "00 B0 00 00 0A"});
        sim.Kill();
    }
    ASSERT_NE(demo.back(), demo[1]) << "the session reads the EF before and after selecting it";
    ASSERT_NE(atrCard.back(), atrCard[1]);
    EXPECT_EQ(ReadFile(base + ".slot1").rfind("; Slot 1, recorded by kyt_sim --record", 0), 0u);

    SimRig replay({"--block", "64", "--card", "0:rules:" + base + ".slot0", "--card", "1:rules:" + base + ".slot1",
                   "--card", "2:rules:" + base + ".slot0.2"},
                  kQuiet);
    ASSERT_TRUE(replay.Ready());
    EXPECT_EQ(RunSession(replay, 0, kDemoSession), FirstResponses(demo, kDemoSession));
    EXPECT_EQ(RunSession(replay, 1, kAtrCardSession), FirstResponses(atrCard, kAtrCardSession));
    EXPECT_EQ(RunSession(replay, 2, {"00 A4 00 0C 02 2F E2", "00 B0 00 00 0A"}), secondCard);
}

} // namespace
