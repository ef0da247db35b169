// CAN loopback test against a stand-in bus: a SOCK_SEQPACKET socketpair keeps the 16-byte frame
// boundaries of a CAN socket, and a peer thread on the far end answers as each case needs.
#include <gtest/gtest.h>
#include <linux/can.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "CAnInit.h"
#include "TVKTestApp.h"
#include "TestCAN.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

can_frame Frame(canid_t id, const Bytes &data) {
    can_frame frame;
    std::memset(&frame, 0, sizeof frame);
    frame.can_id = id;
    frame.can_dlc = static_cast<uint8_t>(data.size());
    if (!data.empty()) std::memcpy(frame.data, data.data(), data.size());
    return frame;
}

// The receive thread never ends, so the bus and its thread are set up once per binary.
struct Bus {
    int agentFd = -1;
    int peerFd = -1;
    thdata receiveSide{-1};
};

Bus &TheBus() {
    static Bus bus;
    static bool made = [] {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) return false;
        bus.agentFd = fds[0];
        bus.peerFd = fds[1];
        bus.receiveSide.canFd = bus.agentFd;
        return CANStartReceiver(&bus.receiveSide) == 1;
    }();
    EXPECT_TRUE(made);
    return bus;
}

// Answers every frame it reads with the frames `answer` returns, until stopped.
using Answer = std::function<std::vector<can_frame>(const can_frame &)>;

class Peer {
  public:
    Peer(int fd, Answer answer) : fd_(fd), answer_(std::move(answer)), thread_([this] { Run(); }) {}
    ~Peer() { Stop(); }

    // The frames the agent wrote to the bus.
    std::vector<can_frame> Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return seen_;
    }

  private:
    void Run() {
        while (!stop_) {
            pollfd wait = {fd_, POLLIN, 0};
            if (poll(&wait, 1, 10) <= 0) continue;
            can_frame frame;
            if (read(fd_, &frame, sizeof frame) != static_cast<ssize_t>(sizeof frame)) continue;
            seen_.push_back(frame);
            for (const can_frame &reply : answer_(frame)) {
                ASSERT_EQ(static_cast<ssize_t>(sizeof reply), write(fd_, &reply, sizeof reply));
            }
        }
    }

    int fd_;
    Answer answer_;
    std::atomic<bool> stop_{false};
    std::vector<can_frame> seen_;
    std::thread thread_;  // last: starts once the members above exist
};

Answer Echo() {
    return [](const can_frame &f) { return std::vector<can_frame>{f}; };
}

Answer EchoWithByte(int index, uint8_t value) {
    return [=](const can_frame &f) {
        can_frame changed = f;
        changed.data[index] = value;
        return std::vector<can_frame>{changed};
    };
}

Answer Send(std::vector<can_frame> frames) {
    return [=](const can_frame &) { return frames; };
}

stRecvPkt Request(const Bytes &data, uint8_t length) {
    stRecvPkt request;
    std::memset(&request, 0, sizeof request);
    request.cmdID = CMD_CAN;
    request.length = length;
    if (!data.empty()) std::memcpy(request.data, data.data(), data.size());
    return request;
}

struct Outcome {
    stResponsePkt resp;
    double seconds;
    std::vector<can_frame> sent;
};

void ExpectIdleState() {
    const stRecvPkt zeroPkt{};
    EXPECT_EQ(0, std::memcmp(&canPkt, &zeroPkt, sizeof canPkt)) << "canPkt not cleared";
    for (int i = 0; i < CAN_DATA_REC_SIZE; ++i) {
        ASSERT_EQ(0, CANdataRec[i]) << "CANdataRec[" << i << "] not cleared";
    }
    EXPECT_EQ(0, canDataReceivedFlag.load());
}

Outcome RunTestCan(stRecvPkt request, Answer answer) {
    Outcome out;
    std::memset(&out.resp, 0, sizeof out.resp);
    Peer peer(TheBus().peerFd, std::move(answer));
    const auto start = Clock::now();
    TestCAN(&request, &out.resp);
    out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    out.sent = peer.Stop();
    ExpectIdleState();
    return out;
}

Bytes RespData(const stResponsePkt &resp) {
    return Bytes(resp.data, resp.data + resp.length);
}

void ExpectFail(const stResponsePkt &resp) {
    EXPECT_EQ(ACK_FAIL, resp.ack);
    EXPECT_EQ(1, resp.length);
    EXPECT_EQ(ERR_CODE_TEST_FAILED, resp.data[0]);
}

class CanTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Bus &bus = TheBus();
        ASSERT_GE(bus.agentFd, 0);
        descriptor.canFd = bus.agentFd;
        ExpectIdleState();
    }
};

TEST_F(CanTest, WorkedExampleAnswersWithTheFrameThatCameBack) {
    const uint8_t request[] = {0x3C, 0x16, 0x23, 0x05, 0x23, 0x12, 0x03,
                               0xAA, 0xBB, 0xCC, 0x23, 0x46, 0x3E};
    uint8_t buffer[MAX_FRAME_SIZE] = {};
    std::memcpy(buffer, request, sizeof request);

    Peer peer(TheBus().peerFd, Echo());
    DispatchFrame(buffer);
    const std::vector<can_frame> sent = peer.Stop();
    ExpectIdleState();

    ComposeResponse();
    uint8_t frame[MAX_FRAME_SIZE] = {};
    const uint8_t count = BuildSerialPkt(frame);
    const Bytes expected = {0x3C, 0x16, 0x23, 0x07, 0x23, 0x00, 0x3B, 0x12,
                            0x03, 0xAA, 0xBB, 0xCC, 0x23, 0x81, 0x3E};
    EXPECT_EQ(expected, Bytes(frame, frame + count));

    ASSERT_EQ(1u, sent.size());
    const can_frame want = Frame(0x12, {0xAA, 0xBB, 0xCC});
    EXPECT_EQ(0, std::memcmp(&want, &sent[0], sizeof want)) << "frame on the bus differs";
}

// Cases decided by the reply itself, without waiting out the window. Each uses its own
// identifier so that a late frame of one case can never match the next.
struct ReplyCase {
    const char *name;
    Bytes request;
    uint8_t length;
    Answer answer;
    bool pass;
    Bytes response;   // pass only
    can_frame onBus;  // what the agent must have written
};

void PrintTo(const ReplyCase &c, std::ostream *os) {
    *os << c.name;
}

class CanReplyTest : public CanTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(CanReplyTest, ComparesTheReplyWithTheRequest) {
    const ReplyCase &c = GetParam();
    const Outcome out = RunTestCan(Request(c.request, c.length), c.answer);

    ASSERT_EQ(1u, out.sent.size());
    EXPECT_EQ(0, std::memcmp(&c.onBus, &out.sent[0], sizeof c.onBus)) << "frame on the bus differs";
    if (c.pass) {
        EXPECT_EQ(ACK_PASS, out.resp.ack);
        EXPECT_EQ(c.response, RespData(out.resp));
    } else {
        ExpectFail(out.resp);
    }
    EXPECT_LT(out.seconds, 2.0) << "a reply must end the wait";
}

INSTANTIATE_TEST_SUITE_P(
    Replies, CanReplyTest,
    ::testing::Values(
        ReplyCase{"OneDataByteDiffers",
                  {0x21, 3, 0xAA, 0xBB, 0xCC},
                  5,
                  EchoWithByte(1, 0xBD),
                  false,
                  {},
                  Frame(0x21, {0xAA, 0xBB, 0xCC})},
        ReplyCase{"NoDataBytes", {0x22, 0}, 2, Echo(), true, {0x22, 0}, Frame(0x22, {})},
        // The record holds 0 beyond the reply, so request byte 4 must be 0 as well.
        ReplyCase{"LengthBeyondDlcZero",
                  {0x23, 2, 0xAA, 0xBB, 0x00},
                  5,
                  Echo(),
                  true,
                  {0x23, 2, 0xAA, 0xBB},
                  Frame(0x23, {0xAA, 0xBB})},
        ReplyCase{"LengthBeyondDlcNonZero",
                  {0x24, 2, 0xAA, 0xBB, 0x77},
                  5,
                  Echo(),
                  false,
                  {},
                  Frame(0x24, {0xAA, 0xBB})},
        ReplyCase{"ReplyShorter",
                  {0x25, 3, 0xAA, 0xBB, 0xCC},
                  5,
                  Send({Frame(0x25, {0xAA, 0xBB})}),
                  false,
                  {},
                  Frame(0x25, {0xAA, 0xBB, 0xCC})},
        // Only the request's length is compared; the reply goes back whole.
        ReplyCase{"ReplyBytesBeyondLengthSentBack",
                  {0x26, 3},
                  2,
                  Send({Frame(0x26, {0x11, 0x22, 0x33})}),
                  true,
                  {0x26, 3, 0x11, 0x22, 0x33},
                  Frame(0x26, {0, 0, 0})},
        // The whole identifier word must match, not just its low byte.
        ReplyCase{"OtherIdentifiersIgnored",
                  {0x27, 2, 0x01, 0x02},
                  4,
                  Send({Frame(0x127, {0x0E, 0x0E}), Frame(0x27 | CAN_EFF_FLAG, {0x0F, 0x0F}),
                        Frame(0x28, {0x01, 0x02}), Frame(0x27, {0x01, 0x02})}),
                  true,
                  {0x27, 2, 0x01, 0x02},
                  Frame(0x27, {0x01, 0x02})},
        // A second reply must not overwrite the one being compared.
        ReplyCase{"SecondReplyKeepsTheFirst",
                  {0x29, 2, 0x01, 0x02},
                  4,
                  Send({Frame(0x29, {0x01, 0x02}), Frame(0x29, {0x66, 0x66}),
                        Frame(0x29, {0x01, 0x67}), Frame(0x29, {0x68, 0x02})}),
                  true,
                  {0x29, 2, 0x01, 0x02},
                  Frame(0x29, {0x01, 0x02})}),
    [](const ::testing::TestParamInfo<ReplyCase> &info) { return std::string(info.param.name); });

// Without a matching reply the test holds the fixture for the whole window, then fails.
struct WindowCase {
    const char *name;
    Bytes request;
    uint8_t length;
    Answer answer;
    size_t framesOnBus;
};

void PrintTo(const WindowCase &c, std::ostream *os) {
    *os << c.name;
}

class CanWindowTest : public CanTest, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(CanWindowTest, FailsAfterTheWindow) {
    const WindowCase &c = GetParam();
    const Outcome out = RunTestCan(Request(c.request, c.length), c.answer);
    ExpectFail(out.resp);
    EXPECT_EQ(c.framesOnBus, out.sent.size());
    EXPECT_GT(out.seconds, 5.0);
    EXPECT_LT(out.seconds, 7.0);
}

INSTANTIATE_TEST_SUITE_P(
    Window, CanWindowTest,
    ::testing::Values(
        WindowCase{"OnlyAnotherIdentifierAnswers",
                   {0x31, 2, 0x01, 0x02},
                   4,
                   Send({Frame(0x32, {0x01, 0x02})}),
                   1},
        // A classic frame carries at most 8 bytes: the write is refused.
        WindowCase{"DlcAboveEightNotWritten", {0x33, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 11, Echo(), 0}),
    [](const ::testing::TestParamInfo<WindowCase> &info) { return std::string(info.param.name); });

// This host has no can0 (and usually no CAN at all), so bring-up fails like on a board whose
// CAN socket cannot be opened.
TEST_F(CanTest, WithoutSocketFailsAtOnceAndSendsNothing) {
    if (CANinit() == 1) GTEST_SKIP() << "this host has a working can0";
    EXPECT_EQ(-1, descriptor.canFd);
    EXPECT_EQ(0, CANinit()) << "a second bring-up must not hand out a broken socket";
    EXPECT_EQ(-1, can_init(nullptr));

    const Outcome out = RunTestCan(Request({0x41, 2, 0x01, 0x02}, 4), Echo());
    ExpectFail(out.resp);
    EXPECT_TRUE(out.sent.empty());
    EXPECT_LT(out.seconds, 1.0);
}

// A fresh process in which bring-up never ran: the handle is still 0 (standard input) and must
// not be written to.
TEST(CanWithoutBringUp, FailsAtOnce) {
    // "fast": the emulator that runs the board build cannot re-execute the binary. CTest runs
    // each test in its own process, so nothing has brought CAN up before the fork.
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            stRecvPkt request = Request({0x42, 2, 0x01, 0x02}, 4);
            stResponsePkt resp{};
            const auto start = Clock::now();
            TestCAN(&request, &resp);
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            std::exit(resp.ack == ACK_FAIL && resp.data[0] == ERR_CODE_TEST_FAILED && seconds < 1.0
                          ? 0
                          : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
