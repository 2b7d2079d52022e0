// The serial frame link against a scripted reader on a raw pty: frame bytes
// on the wire, acknowledge and repeat request, retry counts, oversized and
// hostile response frames.
#include <errno.h>

#include <gtest/gtest.h>

#include "ccid.h"
#include "comport.h"
#include "transport_rig.h"
#include "wire.h"

namespace {

using trig::Bytes;
using trig::ScriptedPeer;
using namespace std::chrono_literals;

constexpr KYT_ULONG kAllOnes = static_cast<KYT_ULONG>(-1);

// GetSlotStatus to slot 0 with bSeq 5, and the reader's slot status answer.
const Bytes kCommand = {0x65, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
const Bytes kCommandFrame = {0x02, 0x65, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x60, 0x03};
const Bytes kAnswer = {0x81, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
const Bytes kAnswerFrame = {0x02, 0x81, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x84, 0x03};

Bytes Concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Damaged(Bytes frame)
{
    frame[frame.size() - 2] ^= 0xFF;
    return frame;
}

// A slot status answer carrying `dataLength` data bytes.
Bytes AnswerWithData(size_t dataLength)
{
    return wire::Response(RDR_TO_PC_SLOTSTATUS, 0, 5, 0, 0, 0, Bytes(dataLength, 0x5A));
}

class FrameLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.Start());
        device = trig::NewDevice(peer.Path());
        ASSERT_NE(device, nullptr);
    }
    void TearDown() override { trig::FreeDevice(device); }

    int Transceive(KYT_ULONG capacity = 64)
    {
        reply.assign(capacity, 0xEE);
        replyLength = capacity;
        return CCID_Transceive(device, kCommand.data(), kCommand.size(), reply.data(), &replyLength);
    }

    Bytes Received() const { return Bytes(reply.begin(), reply.begin() + static_cast<long>(replyLength)); }

    // Every frame the host has sent so far, the last repeat request of a
    // failed exchange included.
    std::vector<Bytes> HostFrames() { return peer.SettledHostFrames(device->comPort); }

    ScriptedPeer peer;
    ReaderDevice *device = nullptr;
    Bytes reply;
    KYT_ULONG replyLength = 0;
};

TEST(FrameCheck, ChecksumAndValidation)
{
    EXPECT_EQ(CCID_CalcChecksum(nullptr, 0), 0x00);
    EXPECT_EQ(CCID_CalcChecksum(kCommand.data(), kCommand.size()), 0x60);
    EXPECT_EQ(CCID_CalcChecksum(kAnswer.data(), kAnswer.size()), 0x84);

    struct Row {
        Bytes frame;
        bool valid;
    } rows[] = {
        {kAnswerFrame, true},
        {{0x02, 0x00, 0x00, 0x03}, true},
        {{0x02, 0x01, 0x01, 0x03}, true}, // well framed; refusing is the acknowledge's business
        {{0x02, 0x00, 0x01, 0x03}, false},
        {{0x03, 0x00, 0x00, 0x03}, false},
        {{0x02, 0x00, 0x00, 0x02}, false},
        {Damaged(kAnswerFrame), false},
        {{0x02, 0x00, 0x03}, false}, // an empty message would check, but is too short
        {{0x02, 0x03}, false},
        {{0x02}, false},
        {{}, false},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(CCID_ValidateFrame(0x02, 0x03, row.frame.data(), row.frame.size()), row.valid)
            << ::testing::PrintToString(row.frame);
    }
}

TEST_F(FrameLinkTest, FramesOnTheWire)
{
    ASSERT_EQ(wire::Frame(kAnswer), kAnswerFrame);
    // Acknowledge and response in one write: the acknowledge read must take
    // only its four bytes and leave the response for the response phase.
    peer.AddReply(Concat(wire::Ack(), kAnswerFrame));
    ASSERT_EQ(Transceive(), 0);
    EXPECT_EQ(Received(), kAnswer);
    EXPECT_EQ(HostFrames(), std::vector<Bytes>{kCommandFrame});
}

// A refused or damaged acknowledge, even with a stale response behind it,
// leads to a clean line and the whole command frame again.
TEST_F(FrameLinkTest, RefusedAcknowledgeIsRetriedOnACleanLine)
{
    const Bytes stale = wire::Frame(AnswerWithData(3));
    const Bytes refusals[] = {
        {0x02, 0x01, 0x01, 0x03}, // status 1
        {0x02, 0x00, 0x01, 0x03}, // bad checksum
        {0x03, 0x00, 0x00, 0x03}, // bad start byte
        {0x02, 0x00, 0x00, 0x02}, // bad end byte
    };
    size_t frames = 0;
    for (const Bytes &refusal : refusals) {
        SCOPED_TRACE(::testing::PrintToString(refusal));
        peer.AddReply(Concat(refusal, stale));
        peer.AddReply(Concat(wire::Ack(), kAnswerFrame));
        ASSERT_EQ(Transceive(), 0);
        EXPECT_EQ(Received(), kAnswer);
        frames += 2;
        auto sent = HostFrames();
        ASSERT_EQ(sent.size(), frames);
        EXPECT_EQ(sent[frames - 2], kCommandFrame);
        EXPECT_EQ(sent[frames - 1], kCommandFrame);
    }
}

// statusRetries + 1 attempts, in native-word arithmetic: all ones is none.
// A reader that never answers gets the command frame once per attempt and
// never a repeat request.  (Each attempt begins by flushing the line, which
// on a pty also drops what the peer has not yet taken in; the timeout
// leaves it ample time to take each frame.)
TEST_F(FrameLinkTest, AcknowledgeAttemptsFollowTheRetryCount)
{
    struct Row {
        KYT_ULONG retries;
        size_t frames;
    } rows[] = {{0, 1}, {1, 2}, {2, 3}, {kAllOnes, 0}};
    device->statusTimeout = 200;
    size_t total = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.retries);
        device->statusRetries = row.retries;
        EXPECT_EQ(Transceive(), EIO);
        total += row.frames;
        auto sent = HostFrames();
        ASSERT_EQ(sent.size(), total);
        for (const Bytes &frame : sent)
            EXPECT_EQ(frame, kCommandFrame);
    }
}

TEST_F(FrameLinkTest, ResponseAttemptsFollowTheRetryCount)
{
    struct Row {
        KYT_ULONG retries;
        size_t repeats;
    } rows[] = {{0, 1}, {1, 2}, {kAllOnes, 0}};
    device->responseTimeout = 50;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.retries);
        size_t before = HostFrames().size();
        device->responseRetries = row.retries;
        peer.AddReply(wire::Ack()); // then silence, also after each repeat request
        for (size_t i = 0; i < row.repeats; i++)
            peer.AddSilence();
        EXPECT_EQ(Transceive(), EIO);
        auto sent = HostFrames();
        ASSERT_EQ(sent.size(), before + 1 + row.repeats);
        EXPECT_EQ(sent[before], kCommandFrame);
        for (size_t i = 0; i < row.repeats; i++)
            EXPECT_EQ(sent[before + 1 + i], wire::RepeatRequest());
    }
}

// Damaged or broken responses are asked for again; the answer to the repeat
// request is read as the next attempt.
TEST_F(FrameLinkTest, RepeatRequestRecoversADamagedResponse)
{
    const Bytes halfFrame(kAnswerFrame.begin(), kAnswerFrame.begin() + 7);
    const Bytes trailing = Concat(kAnswerFrame, {0x00});
    // A frame announcing 40 data bytes that stops after 20: it is larger than
    // the caller's room, yet a broken frame rather than an oversized one.
    Bytes oversizedCut = wire::Frame(AnswerWithData(40));
    oversizedCut.resize(31);
    struct Row {
        const char *what;
        Bytes first;
        KYT_ULONG capacity;
    } rows[] = {
        {"bad checksum", Damaged(kAnswerFrame), 64},
        {"stops halfway", halfFrame, 64},
        {"trailing byte in the same chunk", trailing, 64},
        // Frames that run into each other: the frame plus a damaged
        // acknowledge, or plus a refused acknowledge and a second frame,
        // still starts with 02, ends with 03 and checks out by XOR as a
        // whole, but is longer than its header announces.
        {"damaged acknowledge in the same chunk", Concat(kAnswerFrame, {0x02, 0x00, 0x01, 0x03}), 64},
        {"refused acknowledge and a frame in the same chunk",
         Concat(Concat(kAnswerFrame, {0x02, 0x01, 0x01, 0x03}), kAnswerFrame), 64},
        {"oversized and cut short", oversizedCut, 10},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        peer.AddReply(Concat(wire::Ack(), row.first));
        peer.AddReply(kAnswerFrame);
        size_t before = HostFrames().size();
        ASSERT_EQ(Transceive(row.capacity), 0);
        EXPECT_EQ(Received(), kAnswer);
        auto sent = HostFrames();
        ASSERT_EQ(sent.size(), before + 2);
        EXPECT_EQ(sent[before + 1], wire::RepeatRequest());
    }

    // Damaged again after the repeat request: a second repeat request, EIO.
    peer.AddReply(Concat(wire::Ack(), Damaged(kAnswerFrame)));
    peer.AddReply(Damaged(kAnswerFrame));
    size_t before = HostFrames().size();
    replyLength = 0;
    EXPECT_EQ(Transceive(), EIO);
    EXPECT_EQ(replyLength, 64u); // unchanged on failure
    auto sent = HostFrames();
    ASSERT_EQ(sent.size(), before + 3);
    EXPECT_EQ(sent[before + 1], wire::RepeatRequest());
    EXPECT_EQ(sent[before + 2], wire::RepeatRequest());
}

// A whole response longer than the caller accepts is read to its end and
// dropped: E2BIG, the reply untouched, no repeat request.
TEST_F(FrameLinkTest, OversizedResponseIsDrainedWithoutRepeat)
{
    peer.AddReply(Concat(wire::Ack(), wire::Frame(AnswerWithData(200))));
    EXPECT_EQ(Transceive(209), E2BIG);
    EXPECT_EQ(replyLength, 209u);
    EXPECT_EQ(reply[0], 0xEE);
    EXPECT_EQ(HostFrames().size(), 1u);

    // Exactly the capacity fits.
    peer.AddReply(Concat(wire::Ack(), wire::Frame(AnswerWithData(200))));
    EXPECT_EQ(Transceive(210), 0);
    EXPECT_EQ(replyLength, 210u);
}

// Timeouts of the record are native words; the serial layer takes 32-bit
// milliseconds.  2^32 ms must mean "very long", not a 0 ms poll.
TEST_F(FrameLinkTest, HugeTimeoutsAreClampedNotTruncated)
{
    if (sizeof(KYT_ULONG) < 8)
        GTEST_SKIP() << "native words are 32 bits here";
    device->statusTimeout = static_cast<KYT_ULONG>(1ULL << 32);
    device->responseTimeout = static_cast<KYT_ULONG>(1ULL << 32);
    device->statusRetries = 0;
    device->responseRetries = 0;
    peer.AddReply(ScriptedPeer::Reply{{wire::Ack(), 100ms}, {kAnswerFrame, 100ms}});
    ASSERT_EQ(Transceive(), 0);
    EXPECT_EQ(Received(), kAnswer);
}

// Frame and capacity sizes that would wrap are refused before anything is
// allocated or sent.
TEST_F(FrameLinkTest, WrappingSizesAreRefused)
{
    uint8_t small[16] = {};
    for (KYT_ULONG capacity : {kAllOnes, kAllOnes - 1, kAllOnes - 2}) {
        KYT_ULONG length = capacity;
        EXPECT_EQ(CCID_Transceive(device, kCommand.data(), kCommand.size(), small, &length), ENOMEM);
        EXPECT_EQ(length, capacity);
    }
    KYT_ULONG length = sizeof small;
    EXPECT_EQ(CCID_Transceive(device, kCommand.data(), kAllOnes - 1, small, &length), E2BIG);
    EXPECT_TRUE(HostFrames().empty());
}

// A dwLength near 4 GiB: dwLength + 13 must not wrap, and the host must not
// sit reading gigabytes.  It ends with E2BIG at once, without a repeat
// request.
TEST_F(FrameLinkTest, EnormousAnnouncedLengthEndsAtOnce)
{
    for (uint32_t dwLength : {0xFFFFFFF3u, 0xFFFFFFFFu, 0x80000000u, 100000u}) {
        SCOPED_TRACE(dwLength);
        Bytes header = {0x81,
                        static_cast<uint8_t>(dwLength),
                        static_cast<uint8_t>(dwLength >> 8),
                        static_cast<uint8_t>(dwLength >> 16),
                        static_cast<uint8_t>(dwLength >> 24),
                        0x00,
                        0x05,
                        0x00,
                        0x00,
                        0x00};
        peer.AddReply(Concat(wire::Ack(), Concat({0x02}, header)));
        size_t before = HostFrames().size();
        EXPECT_EQ(Transceive(), E2BIG);
        EXPECT_EQ(HostFrames().size(), before + 1);
    }
}

// CCID_ReadResponse on its own: the drain bound, and a capacity smaller than
// the header.
class ReadResponseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(peer.Start());
        fd = ComPort_OpenA(peer.Path().c_str(), 9600, 8, 'N', 1, 'N');
        ASSERT_GE(fd, 0);
    }
    void TearDown() override { ComPort_Close(fd); }

    ScriptedPeer peer;
    int fd = -1;
};

TEST_F(ReadResponseTest, SmallCapacityStoresNothingBeyondIt)
{
    peer.Feed(kAnswerFrame);
    Bytes buffer(64, 0xEE);
    KYT_ULONG length = 3;
    EXPECT_EQ(CCID_ReadResponse(fd, buffer.data(), &length, 1000), E2BIG);
    EXPECT_EQ(length, kAnswerFrame.size());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 3), Bytes(kAnswerFrame.begin(), kAnswerFrame.begin() + 3));
    EXPECT_EQ(Bytes(buffer.begin() + 3, buffer.end()), Bytes(61, 0xEE));
}

// The largest response a reader can send (65538 data bytes) is drained in
// full when it does not fit; anything announced beyond it is not read.
TEST_F(ReadResponseTest, OversizedFramesAreDrainedUpToTheLargestResponse)
{
    const size_t largest = 65536 + 2;
    Bytes frame = wire::Frame(AnswerWithData(largest));
    peer.Feed(frame);
    Bytes buffer(64);
    KYT_ULONG length = buffer.size();
    EXPECT_EQ(CCID_ReadResponse(fd, buffer.data(), &length, 1000), E2BIG);
    EXPECT_EQ(length, frame.size());

    frame = wire::Frame(AnswerWithData(largest + 1));
    peer.Feed(frame);
    length = buffer.size();
    EXPECT_EQ(CCID_ReadResponse(fd, buffer.data(), &length, 1000), E2BIG);
    EXPECT_LE(length, READ_CHUNK_SIZE);
    EXPECT_GE(length, 11u);
}

} // namespace
