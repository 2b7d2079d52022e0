// The kyt_test program as a user meets it: the real binary, its standard
// input fed from a text, run against the simulated reader, its output
// compared with the expected transcript.
//
// Each transcript is a file NAME.txt in tests/tools/transcripts/, one test
// case Golden/KytTestTranscript.Run/NAME (hyphens become underscores):
//
//   # comment lines
//   args: @PORT@                 kyt_test's arguments, split at spaces
//   sim: model=KYT7710P_V3 slot0=demo-t1 slot1=demo-t0    (or: sim: none)
//   speed-after: 115200          optional: the reader's speed at the end
//   firmware-after-open: E1 ..   optional: the reader's firmware reply once
//                                the open has its answer (through a relay)
//   === file NAME                optional, repeated: a file for the run
//   ...its lines...
//   === input
//   ...the keystrokes, an empty line for [Enter]...
//   === output
//   ...the whole screen, byte for byte, to the end of the file...
//
// Placeholders for what changes from run to run: @PORT@ (the port kyt_test
// opens), @DIR@ (the temporary folder holding the case's files), @SOURCE@
// (the source tree).  KYT_UPDATE_TRANSCRIPTS=1 rewrites each output section
// from the real output instead of comparing; review the change with git diff.
// What is not a whole-screen comparison stays below as C++ tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "iso_card.h"
#include "line_relay.h"
#include "program_run.h"
#include "reader_rig.h"
#include "sim_reader.h"

namespace {

using namespace std::chrono_literals;
using rig::ProgramRun;

constexpr auto kRunLimit = 60s;
const std::string kOutputMarker = "=== output\n";

ProgramRun RunProgram(const std::vector<std::string> &args, const std::string &input)
{
    return rig::RunProgram(args, input, {}, kRunLimit);
}

std::string ReadFile(const std::filesystem::path &path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> Words(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// ---- A transcript file -------------------------------------------------------

struct Transcript {
    std::vector<std::string> args;
    bool sim = false;
    kytsim::Config config;
    std::vector<std::pair<unsigned, kytsim::Card>> cards;
    std::optional<uint32_t> speedAfter;
    std::optional<kytsim::Bytes> firmwareAfterOpen;
    std::vector<std::pair<std::string, std::string>> files; // name, content
    std::string input;
    std::string head; // the file up to and with the output marker
    std::string output;
};

// "slotN=demo-tP" with N one digit and P 0 or 1.
bool IsSlotCard(const std::string &word)
{
    return word.size() == 13 && word.compare(0, 4, "slot") == 0 && std::isdigit(static_cast<unsigned char>(word[4])) &&
           word.compare(5, 7, "=demo-t") == 0 && (word[12] == '0' || word[12] == '1');
}

// The words of a sim: line; an empty string when they all make sense.
std::string ParseSim(const std::string &value, Transcript &t)
{
    for (const std::string &word : Words(value)) {
        if (word == "none")
            continue;
        t.sim = true;
        if (word.rfind("model=", 0) == 0) {
            const std::string name = word.substr(6);
            bool known = false;
            for (kytsim::Model model : {kytsim::Model::KYT7710P, kytsim::Model::KYT7710P_V3, kytsim::Model::KYT4460P}) {
                if (name == kytsim::ModelString(model)) {
                    t.config.model = model;
                    known = true;
                }
            }
            if (!known)
                return "unknown model " + name;
        } else if (IsSlotCard(word)) {
            // slotN=demo-tP: the digits at 4 and 12
            t.cards.emplace_back(static_cast<unsigned>(word[4] - '0'),
                                 word[12] == '1' ? kytsim::DemoT1Card() : kytsim::DemoT0Card());
        } else {
            return "unknown sim word " + word;
        }
    }
    return "";
}

std::string ParseHeaderLine(const std::string &line, Transcript &t)
{
    const size_t colon = line.find(':');
    if (colon == std::string::npos)
        return "not a key: value line: " + line;
    const std::string key = line.substr(0, colon);
    const std::string value = line.substr(colon + 1);
    if (key == "args") {
        t.args = Words(value);
    } else if (key == "sim") {
        return ParseSim(value, t);
    } else if (key == "speed-after") {
        t.speedAfter = static_cast<uint32_t>(std::stoul(value));
    } else if (key == "firmware-after-open") {
        kytsim::Bytes reply;
        for (const std::string &hex : Words(value))
            reply.push_back(static_cast<uint8_t>(std::stoul(hex, nullptr, 16)));
        t.firmwareAfterOpen = reply;
    } else {
        return "unknown key " + key;
    }
    return "";
}

// Fills `t` from the file's text; the error, or an empty string.
std::string ParseTranscript(const std::string &text, Transcript &t)
{
    const size_t marker = text.find("\n" + kOutputMarker);
    if (text.rfind(kOutputMarker, 0) != 0 && marker == std::string::npos)
        return "no " + kOutputMarker;
    const size_t outputStart = marker == std::string::npos ? kOutputMarker.size() : marker + 1 + kOutputMarker.size();
    t.head = text.substr(0, outputStart);
    t.output = text.substr(outputStart);

    std::istringstream lines(text.substr(0, outputStart - kOutputMarker.size()));
    std::string *section = nullptr; // null in the header
    for (std::string line; std::getline(lines, line);) {
        if (line == "=== input") {
            section = &t.input;
        } else if (line.rfind("=== file ", 0) == 0) {
            t.files.emplace_back(line.substr(9), "");
            section = &t.files.back().second;
        } else if (section) {
            *section += line + "\n";
        } else if (!line.empty() && line[0] != '#') {
            std::string error = ParseHeaderLine(line, t);
            if (!error.empty())
                return error;
        }
    }
    return "";
}

// ---- A readable difference --------------------------------------------------

// The lines of a text, each with its line feed; a last line without one
// stays apart from the same line with one.
std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size() - 1);
        lines.push_back(text.substr(start, end + 1 - start));
        start = end + 1;
    }
    return lines;
}

// A line as a diff shows it: quoted, with escapes, when it has a trailing
// space or a byte that would not show.
std::string Shown(const std::string &line)
{
    const bool whole = !line.empty() && line.back() == '\n';
    std::string text = whole ? line.substr(0, line.size() - 1) : line;
    const auto visible = [](char c) { return c >= ' ' && c < 0x7f; };
    if (!std::all_of(text.begin(), text.end(), visible) || (!text.empty() && text.back() == ' ')) {
        std::string quoted = "\"";
        for (char c : text) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
            quoted += c == '"' || c == '\\' ? std::string(1, '\\') + c : visible(c) ? std::string(1, c) : hex;
        }
        text = quoted + "\"";
    }
    return whole ? text : text + "  (no line feed at the end)";
}

struct DiffStep {
    char mark; // ' ' in both, '-' expected only, '+' actual only
    const std::string *line;
    size_t expectedLine, actualLine;
};

// The longest common subsequence of the two texts' lines, walked into steps.
std::vector<DiffStep> DiffSteps(const std::vector<std::string> &a, const std::vector<std::string> &b)
{
    const size_t n = a.size(), m = b.size();
    std::vector<std::vector<unsigned>> common(n + 1, std::vector<unsigned>(m + 1, 0));
    for (size_t i = n; i-- > 0;)
        for (size_t j = m; j-- > 0;)
            common[i][j] = a[i] == b[j] ? common[i + 1][j + 1] + 1 : std::max(common[i + 1][j], common[i][j + 1]);
    std::vector<DiffStep> steps;
    for (size_t i = 0, j = 0; i < n || j < m;) {
        if (i < n && j < m && a[i] == b[j])
            steps.push_back({' ', &a[i], i++, j++});
        else if (i < n && (j == m || common[i + 1][j] >= common[i][j + 1]))
            steps.push_back({'-', &a[i], i++, j});
        else
            steps.push_back({'+', &b[j], i, j++});
    }
    return steps;
}

// A unified diff of the lines, three lines of context around each change;
// for texts too long to compare line by line, the first differing line.
std::string Diff(const std::string &expected, const std::string &actual)
{
    const std::vector<std::string> a = Lines(expected), b = Lines(actual);
    if (a.size() * b.size() > 4'000'000) {
        size_t k = 0;
        while (k < a.size() && k < b.size() && a[k] == b[k])
            ++k;
        return "line " + std::to_string(k + 1) + ":\n-" + (k < a.size() ? Shown(a[k]) : "") + "\n+" +
               (k < b.size() ? Shown(b[k]) : "") + "\n";
    }
    const std::vector<DiffStep> steps = DiffSteps(a, b);
    constexpr size_t kContext = 3;
    std::vector<bool> shown(steps.size(), false);
    for (size_t k = 0; k < steps.size(); ++k) {
        if (steps[k].mark != ' ') {
            for (size_t c = k > kContext ? k - kContext : 0; c <= k + kContext && c < steps.size(); ++c)
                shown[c] = true;
        }
    }
    std::string out = "--- expected\n+++ actual\n";
    for (size_t k = 0; k < steps.size(); ++k) {
        if (!shown[k])
            continue;
        if (k == 0 || !shown[k - 1])
            out += "@@ expected line " + std::to_string(steps[k].expectedLine + 1) + ", actual line " +
                   std::to_string(steps[k].actualLine + 1) + " @@\n";
        out += steps[k].mark + Shown(*steps[k].line) + "\n";
    }
    return out;
}

// ---- A run of one ------------------------------------------------------------

// The case's files in a temporary folder, removed with the object.
struct CaseFolder {
    std::string path;

    explicit CaseFolder(const Transcript &t)
    {
        if (t.files.empty())
            return;
        char pattern[] = "/tmp/kyt_transcript_XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return;
        path = pattern;
        for (const auto &[name, content] : t.files)
            std::ofstream(path + "/" + name, std::ios::binary) << content;
    }
    ~CaseFolder()
    {
        if (!path.empty())
            std::filesystem::remove_all(path);
    }
};

// The placeholders of a run and the values they stand for.
struct Placeholders {
    std::vector<std::pair<std::string, std::string>> values;

    static std::string Replace(std::string text, const std::string &from, const std::string &to)
    {
        for (size_t at = 0; !from.empty() && (at = text.find(from, at)) != std::string::npos; at += to.size())
            text.replace(at, from.size(), to);
        return text;
    }
    std::string Expand(std::string text) const
    {
        for (const auto &[name, value] : values)
            text = Replace(std::move(text), name, value);
        return text;
    }
    // The reverse, for rewriting a transcript: the longest value first, so
    // that a value inside another cannot take its place.
    std::string Collapse(std::string text) const
    {
        auto sorted = values;
        std::sort(sorted.begin(), sorted.end(),
                  [](const auto &a, const auto &b) { return a.second.size() > b.second.size(); });
        for (const auto &[name, value] : sorted)
            text = Replace(std::move(text), value, name);
        return text;
    }
};

std::vector<std::string> TranscriptFiles()
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(KYT_TRANSCRIPT_DIR, error)) {
        if (entry.path().extension() == ".txt")
            names.push_back(entry.path().stem().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class KytTestTranscript : public ::testing::TestWithParam<std::string> {};

TEST_P(KytTestTranscript, Run)
{
    const std::filesystem::path path = std::filesystem::path(KYT_TRANSCRIPT_DIR) / (GetParam() + ".txt");
    Transcript t;
    const std::string error = ParseTranscript(ReadFile(path), t);
    ASSERT_EQ(error, "") << path;

    std::unique_ptr<kytsim::SimReader> sim;
    std::unique_ptr<rig::LineRelay> relay; // after sim: its action uses sim
    std::string port;
    if (t.sim) {
        sim = rig::StartSim(t.config);
        ASSERT_TRUE(sim);
        for (auto &[slot, card] : t.cards)
            sim->InsertCard(slot, std::move(card));
        port = sim->PortPath();
    }
    if (t.firmwareAfterOpen) {
        ASSERT_TRUE(sim) << "firmware-after-open needs a sim";
        // What the reader sends for the open: the acknowledge, then the
        // response frame around the 10-byte header and the firmware reply.
        const size_t openAnswer = 4 + 13 + kytsim::FirmwareReply(t.config.model).size();
        relay = std::make_unique<rig::LineRelay>();
        ASSERT_TRUE(relay->Start(port, openAnswer, [&] { sim->SetFirmwareReply(*t.firmwareAfterOpen); }));
        port = relay->HostPath();
    }
    const CaseFolder folder(t);
    ASSERT_EQ(folder.path.empty(), t.files.empty());
    const Placeholders placeholders{{{"@PORT@", port}, {"@DIR@", folder.path}, {"@SOURCE@", KYT_SOURCE_DIR}}};

    std::vector<std::string> args = {KYT_TEST_BINARY};
    for (const std::string &arg : t.args)
        args.push_back(placeholders.Expand(arg));
    ProgramRun run = RunProgram(args, placeholders.Expand(t.input));

    EXPECT_FALSE(run.timedOut) << run.output;
    EXPECT_EQ(run.exitStatus, 0);
    if (relay) {
        EXPECT_TRUE(relay->ActionRan());
    }
    if (t.speedAfter) {
        EXPECT_EQ(sim->Speed(), *t.speedAfter);
    }
    const char *update = std::getenv("KYT_UPDATE_TRANSCRIPTS");
    if (update && std::string(update) == "1") {
        std::ofstream(path, std::ios::binary) << t.head << placeholders.Collapse(run.output);
        return;
    }
    const std::string expected = placeholders.Expand(t.output);
    EXPECT_TRUE(run.output == expected) << path.string() << ": the output differs from the transcript\n"
                                        << Diff(expected, run.output);
}

INSTANTIATE_TEST_SUITE_P(Golden, KytTestTranscript, ::testing::ValuesIn(TranscriptFiles()),
                         [](const ::testing::TestParamInfo<std::string> &file) {
                             std::string name = file.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// A folder gone missing, or the wrong folder, is not a pass.
TEST(KytTestTranscriptFolder, HoldsTheTranscripts)
{
    EXPECT_GE(TranscriptFiles().size(), 13u) << KYT_TRANSCRIPT_DIR;
}

// ---- What is not a whole-screen comparison ----------------------------------

std::string Shutdown(const std::string &port)
{
    return "Closing the reader (" + port + ")...\nKYT_Close: OK\n";
}

TEST(KytTestProgram, EndOfInputAnywhereLeavesEveryMenuAndClosesTheReader)
{
    const char *inputs[] = {
        "",          // module menu
        "1\n",       // reader menu
        "1\n1\n",    // baud rate prompt
        "1\n2\n",    // timeouts menu
        "1\n2\n3\n", // timeout value prompt
        "2\n",       // slot prompt
        "2\n0\n",    // card menu
        "2\n0\n3\n", // protocol menu
        "2\n0\n1\n", // pause after an operation
        "2\n0\n5\n", // script name prompt
        "3\n1\n",    // peripheral menu
        "3\n1\n1\n", // script name prompt of the peripheral menu
        "1\n1\n96",  // a number cut off by the end of input
    };
    std::unique_ptr<kytsim::SimReader> sim = rig::StartSim();
    ASSERT_TRUE(sim);
    sim->InsertCard(0, kytsim::DemoT1Card());
    sim->InsertCard(1, kytsim::DemoT0Card());
    const std::string ending = Shutdown(sim->PortPath());
    for (const char *input : inputs) {
        ProgramRun run = RunProgram({KYT_TEST_BINARY, sim->PortPath()}, input);
        EXPECT_FALSE(run.timedOut) << run.output;
        EXPECT_EQ(run.exitStatus, 0);
        ASSERT_GE(run.output.size(), ending.size()) << input;
        EXPECT_EQ(run.output.substr(run.output.size() - ending.size()), ending) << "input: " << input << "\n"
                                                                                << run.output;
        EXPECT_FALSE(sim->CardPowered(0)) << input;
    }
}

} // namespace

// A port that another program holds: kyt_test says so on an Error: line and
// ends, without a byte reaching the reader, and the holder goes on working.
TEST(KytTestCommandLine, HeldPortEndsWithAnErrorLine)
{
    auto sim = rig::StartSim();
    ASSERT_TRUE(sim);
    ReaderHandle holder = rig::Open(*sim);
    ASSERT_NE(holder, nullptr);
    const kytsim::LineCounts before = sim->Counts();

    ProgramRun run = RunProgram({KYT_TEST_BINARY, sim->PortPath()}, "0\n");
    EXPECT_EQ(run.output,
              "KYT API Test Utility Version 1.0.1\n"
              "Exercises the libkyt reader API against one reader.\n"
              "\n"
              "Opening the reader (" +
                  sim->PortPath() + ")...\n" + "Error: KYT_Open failed with error 0x00000010\n"); // EBUSY
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(sim->Counts().fromHost, before.fromHost);

    KYT_ULONG state = KYT_ICC_UNKNOWN;
    EXPECT_EQ(KYT_GetIccStatus(holder, 0, &state), KYT_SUCCESS);
    EXPECT_NE(sim->Counts().fromHost, before.fromHost);
    EXPECT_EQ(KYT_Close(holder), KYT_SUCCESS);
}
