// The fixture link end to end: the real agent in the board sandbox, over its serial line.
#include <gtest/gtest.h>
#include <unistd.h>

#include "BoardHarness.h"

namespace {

using e2e::BoardSandbox;
using fixture::Bytes;
using fixture::Status;

class Link : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(board_.Start()) << board_.AgentLog(); }
    BoardSandbox board_;
};

TEST_F(Link, AbandonedFrameFirstEchoesIdZeroThenThePreviousId) {
    Bytes tooLong = {0x3C, 0x13, 0x23, 120, 0x23};
    tooLong.insert(tooLong.end(), 123, 0x41);
    auto first = board_.Raw(tooLong);
    ASSERT_EQ(first.status, Status::Ok) << first.error;
    EXPECT_EQ(e2e::Hex(first.response.raw), "3C 00 23 03 23 01 3B 02 23 3E 3E");

    auto version = board_.Request(0x32);
    ASSERT_EQ(version.status, Status::Ok) << version.error;
    EXPECT_EQ(e2e::Hex(version.response.raw), "3C 32 23 05 23 00 3B 05 00 00 23 40 3E");

    auto second = board_.Raw(tooLong);
    ASSERT_EQ(second.status, Status::Ok) << second.error;
    EXPECT_EQ(e2e::Hex(second.response.raw), "3C 32 23 03 23 01 3B 02 23 3E 3E");
}

TEST_F(Link, BadFramesGetTheErrorResponse) {
    struct {
        const char *name;
        const char *request;
        const char *response;
    } cases[] = {
        {"wrong checksum", "3C 30 23 00 23 23 01 3E", "3C 30 23 03 23 01 3B 01 23 3D 3E"},
        {"broken layout", "3C 30 24 00 23 23 00 3E", "3C 30 23 03 23 01 3B 02 23 3E 3E"},
        {"unknown id", "3C 40 23 00 23 23 00 3E", "3C 40 23 03 23 01 3B 00 23 3C 3E"},
        {"wrong end byte", "3C 32 23 00 23 23 00 3F", "3C 32 23 03 23 01 3B 02 23 3E 3E"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        auto got = board_.Raw(support::FromHex(c.request));
        ASSERT_EQ(got.status, Status::Ok) << got.error;
        EXPECT_EQ(e2e::Hex(got.response.raw), c.response);
    }
    EXPECT_EQ(board_.CountInLog("Version Test success"), 0u) << "no bad frame ran a test";
}

TEST_F(Link, ManyRequestsEachAnsweredExactlyOnce) {
    constexpr int kRequests = 150;
    int answered = 0;
    for (int i = 0; i < kRequests; ++i) {
        auto got = board_.link().Transact(fixture::BuildRequest(0x32, {}), 3000, 0);
        if (got.status == Status::Ok &&
            e2e::Hex(got.response.raw) == "3C 32 23 05 23 00 3B 05 00 00 23 40 3E") {
            ++answered;
        }
    }
    EXPECT_EQ(answered, kRequests);
    EXPECT_EQ(board_.CountInLog("Version Test success"), size_t(kRequests));
    // Nothing more comes: no request was answered twice.
    Bytes extra;
    EXPECT_EQ(board_.link().ReadFrame(extra, 300), Status::Timeout) << e2e::Hex(extra);
}

TEST_F(Link, AgentKeepsServingAfterNoise) {
    Bytes noise(300, 0x55);
    auto got = board_.Raw(Bytes(noise), 500);  // no frame in it: no answer is due
    EXPECT_EQ(got.status, Status::Timeout);
    auto version = board_.Request(0x32);
    ASSERT_EQ(version.status, Status::Ok) << version.error;
    EXPECT_EQ(version.response.data, (Bytes{5, 0, 0}));
    EXPECT_TRUE(board_.Running());
}

TEST(LinkLog, AgentAnswersAfterItsLogReaderEnded) {
    e2e::BoardOptions options;
    options.logReaderQuits = true;
    BoardSandbox board(options);
    ASSERT_TRUE(board.Start()) << board.AgentLog();
    // The log says no more when the agent listens again: give it a fixed pause instead.
    board.link().waitListening = [] { usleep(300000); };
    for (int i = 0; i < 3; ++i) {
        auto got = board.Request(0x32, {}, 3000);
        ASSERT_EQ(got.status, Status::Ok) << i << ": " << got.error << "\n" << board.AgentLog();
        EXPECT_EQ(e2e::Hex(got.response.raw), "3C 32 23 05 23 00 3B 05 00 00 23 40 3E");
    }
    EXPECT_TRUE(board.Running());
}

}  // namespace
