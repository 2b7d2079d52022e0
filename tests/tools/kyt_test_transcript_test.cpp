// The kyt_test program as a user meets it: the real binary, its standard
// input fed from a string, run against the simulated reader, its output
// compared with the expected transcript.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "iso_card.h"
#include "line_relay.h"
#include "program_run.h"
#include "reader_rig.h"
#include "sim_reader.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kRunLimit = 60s;

using rig::ProgramRun;

ProgramRun RunProgram(const std::vector<std::string> &args, const std::string &input)
{
    return rig::RunProgram(args, input, {}, kRunLimit);
}

// ---- The texts of the program, block by block ------------------------------

const std::string kHeader = "KYT API Test Utility Version 1.0.1\n"
                            "Exercises the libkyt reader API against one reader.\n"
                            "\n";

std::string FirmwareText(kytsim::Model model)
{
    kytsim::Bytes reply = kytsim::FirmwareReply(model);
    return std::string(reply.begin() + 5, reply.end());
}

std::string StartUp(const std::string &port, int slots = 3,
                    kytsim::Model model = kytsim::Model::KYT7710P_V3)
{
    return kHeader + "Opening the reader (" + port + ")...\n" +
           "KYT_Open: OK\n\n"
           "Getting the number of slots...\n"
           "Slots: " + std::to_string(slots) + "\n\n"
           "Getting the baud rate...\n"
           "Baud Rate: 9600 bps\n\n"
           "Getting the firmware version...\n"
           "Firmware Version: " + FirmwareText(model) + "\n\n";
}

std::string Shutdown(const std::string &port)
{
    return "Closing the reader (" + port + ")...\nKYT_Close: OK\n";
}

const std::string kChoice = "0. Exit\n\nSelect an option: \n";

const std::string kModuleMenu = "Modules\n-------\n\n1. Reader\n2. Card\n3. Peripheral\n" + kChoice;

std::string ReaderMenu(int speed)
{
    return "Getting the baud rate...\nKYT_GetBaudRate: OK\n\n"
           "Reader\n------\n\n"
           "1. Baud Rate (" + std::to_string(speed) + " bps)\n"
           "2. Timeouts\n" + kChoice;
}

std::string TimeoutsMenu(int statusTimeout, int statusRetries, int responseTimeout,
                         int responseRetries)
{
    return "Getting the timeouts...\nKYT_GetTimeouts: OK\n\n"
           "Timeouts\n--------\n\n"
           "1. Status Timeout   (" + std::to_string(statusTimeout) + " ms)\n"
           "2. Status Retries   (" + std::to_string(statusRetries) + ")\n"
           "3. Response Timeout (" + std::to_string(responseTimeout) + " ms)\n"
           "4. Response Retries (" + std::to_string(responseRetries) + ")\n" + kChoice;
}

std::string SlotSelection(int slots)
{
    return "Getting the number of slots...\nSlots: " + std::to_string(slots) + "\n\n" +
           "Enter a slot number [0 - " + std::to_string(slots - 1) + "]: \n";
}

std::string CardMenu(int slot)
{
    return "Card\n----\n\nSlot " + std::to_string(slot) + ":\n\n"
           "1. Power On ICC\n2. Power Off ICC\n3. Set Protocol\n4. Get ICC Status\n"
           "5. Exchange APDU\n" + kChoice;
}

const std::string kProtocolMenu = "Protocol\n--------\n\n1. T=0\n2. T=1\n3. T=0 or T=1\n" + kChoice;

std::string PeripheralMenu(int slot)
{
    return "Peripheral\n----------\n\nSlot " + std::to_string(slot) + ":\n\n1. Control\n" +
           kChoice;
}

// The pause after an operation: an empty line, the prompt, a line feed.
const std::string kPause = "\nPress [Enter] key to continue...\n";

// What examples/escape.ctl shows against the simulated KYT7710P_V3.
const std::string kEscapeExampleTranscript =
    "Command:\nE0 00 00 18 00\n"
    "Response:\nE1 00 00 18 11 4B 59 54 37 37 31 30 50 5F 56 33\n20 31 2E 30 2E 31\n"
    "Expected:\nXX XX XX XX XX 4B 59 54 37 37 31 30 50 5F 56 33 \nXX XX XX XX XX XX \n"
    "Compare OK\n"
    "Command:\nE0 00 00 40 02 12 34\n"
    "Response:\nE0 00 00 40 02 12 34\n"
    "Expected:\nE0 00 00 40 02 12 34 \n"
    "Compare OK\n";

const std::string kT1Atr = "3B F9 96 00 00 81 31 FE 45 80 31 80 73 90 21 00\n81 05 13\n";

// A script file in a temporary directory, removed with the object.
struct Script {
    std::string dir;
    std::string path;

    explicit Script(const std::string &content)
    {
        char pattern[] = "/tmp/kyt_apdu_XXXXXX";
        dir = mkdtemp(pattern);
        path = dir + "/script.apdu";
        FILE *file = fopen(path.c_str(), "w");
        fputs(content.c_str(), file);
        fclose(file);
    }
    ~Script()
    {
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
};

class KytTestProgram : public ::testing::Test {
protected:
    void SetUp() override { StartReader(kytsim::Config()); }

    void StartReader(const kytsim::Config &config)
    {
        sim_ = rig::StartSim(config);
        ASSERT_TRUE(sim_);
        sim_->InsertCard(0, kytsim::DemoT1Card());
        sim_->InsertCard(1, kytsim::DemoT0Card());
        port_ = sim_->PortPath();
    }

    ProgramRun Run(const std::string &input)
    {
        ProgramRun run = RunProgram({KYT_TEST_BINARY, port_}, input);
        EXPECT_FALSE(run.timedOut) << run.output;
        EXPECT_EQ(run.exitStatus, 0);
        return run;
    }

    std::unique_ptr<kytsim::SimReader> sim_;
    std::string port_;
};

// ---- Whole transcripts of the main paths ------------------------------------

TEST_F(KytTestProgram, StartUpModuleMenuAndExit)
{
    ProgramRun run = Run("0\n");
    EXPECT_EQ(run.output, StartUp(port_) + kModuleMenu + Shutdown(port_));
}

TEST_F(KytTestProgram, ReaderMenuQueriesAndSetsTheBaudRate)
{
    ProgramRun run = Run("1\n1\n115200\n\n1\n1234\n\n0\n0\n");
    EXPECT_EQ(run.output, StartUp(port_) + kModuleMenu + ReaderMenu(9600) +
                              "Enter a baud rate: \n"
                              "Setting the baud rate...\n"
                              "KYT_SetBaudRate: OK\n" + kPause +
                              ReaderMenu(115200) +
                              "Enter a baud rate: \n"
                              "Setting the baud rate...\n"
                              "Error: KYT_SetBaudRate failed with error 0x00000016\n" + kPause +
                              ReaderMenu(115200) + kModuleMenu + Shutdown(port_));
    EXPECT_EQ(sim_->Speed(), 115200u); // the reader followed the change
}

TEST_F(KytTestProgram, TimeoutsMenuReplacesOneFieldAtATime)
{
    ProgramRun run = Run("1\n2\n1\n500\n\n4\n3\n\n0\n0\n0\n");
    EXPECT_EQ(run.output, StartUp(port_) + kModuleMenu + ReaderMenu(9600) +
                              TimeoutsMenu(2000, 1, 10000, 1) +
                              "Enter a status timeout (ms): \n"
                              "Setting the timeouts...\n"
                              "KYT_SetTimeouts: OK\n" + kPause +
                              TimeoutsMenu(500, 1, 10000, 1) +
                              "Enter a number of response retries: \n"
                              "Setting the timeouts...\n"
                              "KYT_SetTimeouts: OK\n" + kPause +
                              TimeoutsMenu(500, 1, 10000, 3) + ReaderMenu(9600) + kModuleMenu +
                              Shutdown(port_));
}

TEST_F(KytTestProgram, CardMenuPowersSelectsProtocolAndReportsStatus)
{
    // Protocol choice 0 goes straight back to the card menu, without a pause.
    ProgramRun run = Run("2\n0\n1\n\n3\n0\n3\n2\n\n4\n\n2\n\n4\n\n0\n0\n");
    EXPECT_EQ(run.output, StartUp(port_) + kModuleMenu + SlotSelection(3) + CardMenu(0) +
                              "Slot 0: Powering on the ICC...\nATR:\n" + kT1Atr + kPause +
                              CardMenu(0) + kProtocolMenu + CardMenu(0) + kProtocolMenu +
                              "Slot 0: Setting the protocol...\nActive Protocol: T=1\n" + kPause +
                              CardMenu(0) +
                              "Slot 0: Getting the ICC status...\nICC Status: Powered\n" + kPause +
                              CardMenu(0) +
                              "Slot 0: Powering off the ICC...\nKYT_PowerOffIcc: OK\n" + kPause +
                              CardMenu(0) +
                              "Slot 0: Getting the ICC status...\nICC Status: Present\n" + kPause +
                              CardMenu(0) + kModuleMenu + Shutdown(port_));
}

TEST_F(KytTestProgram, PassingAndFailingApduScripts)
{
    Script passing("; the card number, read from EF 2FE2 under the MF\n"
                   "00 A4 00 0C 02 3F 00\n"
                   "90 00\n"
                   "00a4000c022fe2\n"
                   "9000\n"
                   "00 B0 00 00 0A\n"
                   "98 94 XX XX XX XX XX xx 2x fX 90 00\n");
    Script failing("00 A4 00 0C 02 12 34\n"
                   "90 00\n"
                   "00 A4 00 0C 02 3F 00\n"
                   "90 00\n");
    // "5" with more on its line: the rest is discarded before the name is asked.
    ProgramRun run = Run("2\n0\n1\n\n5 and the rest\n" + passing.path + "\n\n5\n" +
                         failing.path + "\n\n0\n0\n");
    EXPECT_EQ(run.output,
              StartUp(port_) + kModuleMenu + SlotSelection(3) + CardMenu(0) +
                  "Slot 0: Powering on the ICC...\nATR:\n" + kT1Atr + kPause + CardMenu(0) +
                  "Enter a script filename: Slot 0: Exchanging the APDU...\n"
                  "Opening " + passing.path + "...\n"
                  "Command:\n00 A4 00 0C 02 3F 00\nResponse:\n90 00\nExpected:\n90 00 \n"
                  "Compare OK\n"
                  "Command:\n00 A4 00 0C 02 2F E2\nResponse:\n90 00\nExpected:\n90 00 \n"
                  "Compare OK\n"
                  "Command:\n00 B0 00 00 0A\n"
                  "Response:\n98 94 00 21 43 65 87 09 21 F3 90 00\n"
                  "Expected:\n98 94 XX XX XX XX XX xx 2x fX 90 00 \n"
                  "Compare OK\n" + kPause + CardMenu(0) +
                  "Enter a script filename: Slot 0: Exchanging the APDU...\n"
                  "Opening " + failing.path + "...\n"
                  "Command:\n00 A4 00 0C 02 12 34\nResponse:\n6A 82\nExpected:\n90 00 \n"
                  "Error: Unexpected response at byte 0\n" + kPause + CardMenu(0) +
                  kModuleMenu + Shutdown(port_));
}

TEST_F(KytTestProgram, PeripheralMenuRunsEscapeScripts)
{
    Script setSpeed("; the line speed belongs to KYT_SetBaudRate\n44 04\n90 04\n");
    std::string example = std::string(KYT_SOURCE_DIR) + "/examples/escape.ctl";
    ProgramRun run = Run("3\n0\n1\n" + example + "\n\n1\n" + setSpeed.path + "\n\n0\n0\n");
    EXPECT_EQ(run.output,
              StartUp(port_) + kModuleMenu + SlotSelection(3) + PeripheralMenu(0) +
                  "Enter a script filename: Slot 0: Sending the escape command...\n"
                  "Opening " + example + "...\n" + kEscapeExampleTranscript + kPause +
                  PeripheralMenu(0) +
                  "Enter a script filename: Slot 0: Sending the escape command...\n"
                  "Opening " + setSpeed.path + "...\n"
                  "Command:\n44 04\n"
                  "Error: KYT_Control failed with error 0x00000016\n" + kPause +
                  PeripheralMenu(0) + kModuleMenu + Shutdown(port_));
    EXPECT_EQ(sim_->Speed(), 9600u);
}

// ---- Targeted checks ---------------------------------------------------------

TEST(KytTestCommandLine, WithoutArgumentPrintsUsageOnly)
{
    ProgramRun run = RunProgram({KYT_TEST_BINARY}, "");
    EXPECT_EQ(run.output, kHeader + "Usage: kyt_test [port name]\n");
    EXPECT_EQ(run.exitStatus, 0);
}

TEST(KytTestCommandLine, OpenFailureEndsWithoutClosing)
{
    const std::string port = "/nonexistent/kyt/tty";
    ProgramRun run = RunProgram({KYT_TEST_BINARY, port}, "0\n");
    EXPECT_EQ(run.output, kHeader + "Opening the reader (" + port + ")...\n" +
                              "Error: KYT_Open failed with error 0x00000002\n"); // ENOENT
    EXPECT_EQ(run.exitStatus, 0);
}

// The open reads the firmware version too, and needs the model in it; the
// reply changes once the open has its answer.  kyt_test talks to the reader
// through a relay that makes the change when kyt_test's own query arrives,
// before the reader sees it.
TEST(KytTestFirmware, ShortVersionRepliesAfterTheOpen)
{
    struct Case {
        kytsim::Bytes reply;
        std::string printed;
    } cases[] = {
        {{0xE1, 0x00, 0x00, 0x18, 0x00}, "Error: Response length is invalid\n"},
        {{0xE1, 0x00, 0x00, 0x18, 0x01, 'K'}, "Firmware Version: K\n\n" + kModuleMenu},
    };
    // What the reader sends for the open: the acknowledge, then the response
    // frame around the 10-byte header and the firmware reply.
    const size_t openAnswer = 4 + 13 + kytsim::FirmwareReply(kytsim::Model::KYT7710P_V3).size();
    for (const Case &c : cases) {
        std::unique_ptr<kytsim::SimReader> sim = rig::StartSim();
        ASSERT_TRUE(sim);
        rig::LineRelay relay;
        ASSERT_TRUE(relay.Start(sim->PortPath(), openAnswer, [&] { sim->SetFirmwareReply(c.reply); }));

        ProgramRun run = RunProgram({KYT_TEST_BINARY, relay.HostPath()}, "0\n");
        EXPECT_TRUE(relay.ActionRan());
        std::string expected = StartUp(relay.HostPath());
        expected.erase(expected.find("Firmware Version: "));
        EXPECT_EQ(run.output, expected + c.printed + Shutdown(relay.HostPath()));
        EXPECT_EQ(run.exitStatus, 0);
    }
}

TEST_F(KytTestProgram, EmptySlotReportsTheRemovedCard)
{
    ProgramRun run = Run("2\n2\n1\n\n4\n\n0\n0\n");
    EXPECT_EQ(run.output, StartUp(port_) + kModuleMenu + SlotSelection(3) + CardMenu(2) +
                              "Slot 2: Powering on the ICC...\n"
                              "Error: KYT_PowerOnIcc failed with error 0xA0100069\n" + kPause +
                              CardMenu(2) +
                              "Slot 2: Getting the ICC status...\nICC Status: Absent\n" + kPause +
                              CardMenu(2) + kModuleMenu + Shutdown(port_));
}

TEST_F(KytTestProgram, NonNumbersAndUnknownChoicesRedisplay)
{
    ProgramRun run = Run("abc\n9\n-1\n1\nx y z\n1\nfast\n+\n9600\n\n0\n0\n");
    EXPECT_EQ(run.output, StartUp(port_) + kModuleMenu + kModuleMenu + kModuleMenu +
                              kModuleMenu + ReaderMenu(9600) + ReaderMenu(9600) +
                              "Enter a baud rate: Enter a baud rate: Enter a baud rate: \n"
                              "Setting the baud rate...\nKYT_SetBaudRate: OK\n" + kPause +
                              ReaderMenu(9600) + kModuleMenu + Shutdown(port_));
}

TEST(KytTestTwoSlots, SlotPromptShowsTheUpperBoundAndAsksAgain)
{
    kytsim::Config config;
    config.model = kytsim::Model::KYT7710P;
    std::unique_ptr<kytsim::SimReader> sim = rig::StartSim(config);
    ASSERT_TRUE(sim);
    ProgramRun run = RunProgram({KYT_TEST_BINARY, sim->PortPath()}, "2\n2\n-1\nnone\n1\n0\n0\n");
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.output, StartUp(sim->PortPath(), 2, kytsim::Model::KYT7710P) + kModuleMenu +
                              "Getting the number of slots...\nSlots: 2\n\n"
                              "Enter a slot number [0 - 1]: Enter a slot number [0 - 1]: "
                              "Enter a slot number [0 - 1]: Enter a slot number [0 - 1]: \n" +
                              CardMenu(1) + kModuleMenu + Shutdown(sim->PortPath()));
}

TEST_F(KytTestProgram, EndOfInputAnywhereLeavesEveryMenuAndClosesTheReader)
{
    const char *inputs[] = {
        "",                 // module menu
        "1\n",              // reader menu
        "1\n1\n",           // baud rate prompt
        "1\n2\n",           // timeouts menu
        "1\n2\n3\n",        // timeout value prompt
        "2\n",              // slot prompt
        "2\n0\n",           // card menu
        "2\n0\n3\n",        // protocol menu
        "2\n0\n1\n",        // pause after an operation
        "2\n0\n5\n",        // script name prompt
        "3\n1\n",           // peripheral menu
        "3\n1\n1\n",        // script name prompt of the peripheral menu
        "1\n1\n96",         // a number cut off by the end of input
    };
    for (const char *input : inputs) {
        ProgramRun run = Run(input);
        const std::string ending = Shutdown(port_);
        ASSERT_GE(run.output.size(), ending.size()) << input;
        EXPECT_EQ(run.output.substr(run.output.size() - ending.size()), ending)
            << "input: " << input << "\n" << run.output;
        EXPECT_FALSE(sim_->CardPowered(0)) << input;
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
    EXPECT_EQ(run.output, kHeader + "Opening the reader (" + sim->PortPath() + ")...\n" +
                              "Error: KYT_Open failed with error 0x00000010\n"); // EBUSY
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(sim->Counts().fromHost, before.fromHost);

    KYT_ULONG state = KYT_ICC_UNKNOWN;
    EXPECT_EQ(KYT_GetIccStatus(holder, 0, &state), KYT_SUCCESS);
    EXPECT_NE(sim->Counts().fromHost, before.fromHost);
    EXPECT_EQ(KYT_Close(holder), KYT_SUCCESS);
}
