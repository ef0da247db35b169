// The RS-485 transport over a pty: the agent's real port set-up, collection and send.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "CommonDef.h"
#include "FixtureLink.h"
#include "Frames.h"
#include "RS485lib.h"

namespace {

using fixture::Bytes;

class PtyLine : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slaveName_ = ptsname(master_);
        slave_ = open(slaveName_.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave_, 0);
        int on = 1;
        ASSERT_EQ(ioctl(master_, TIOCPKT, &on), 0);
        rs485PortPath = slaveName_.c_str();
    }
    void TearDown() override {
        rs485PortPath = SERIAL_PORT_PATH;
        close(slave_);
        close(master_);
    }

    // The port flushes its input when it opens: wait for that flush before sending.
    bool WaitForFlush(int timeoutMs) {
        int64_t deadline = fixture::NowUs() + int64_t{timeoutMs} * 1000;
        while (fixture::NowUs() < deadline) {
            pollfd pfd = {master_, POLLIN | POLLPRI, 0};
            if (poll(&pfd, 1, 50) <= 0) continue;
            uint8_t buffer[256];
            ssize_t got = read(master_, buffer, sizeof buffer);
            if (got > 0 && buffer[0] != TIOCPKT_DATA && (buffer[0] & TIOCPKT_FLUSHREAD)) {
                return true;
            }
        }
        return false;
    }

    struct Received {
        int result;
        Bytes buffer;
    };

    Received Receive(const Bytes &sent) {
        std::promise<Received> done;
        auto future = done.get_future();
        std::thread receiver([&done] {
            uint8_t buffer[MAX_FRAME_SIZE];
            std::memset(buffer, 0xA5, sizeof buffer);  // shows what a give-up leaves alone
            int result = ModbusRecieve(buffer);
            done.set_value({result, Bytes(buffer, buffer + sizeof buffer)});
        });
        EXPECT_TRUE(WaitForFlush(5000));
        EXPECT_EQ(write(master_, sent.data(), sent.size()), ssize_t(sent.size()));
        bool finished = future.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        if (!finished) {
            // Unblock a receive still waiting for bytes so the thread can end.
            const Bytes filler(130, 0x00);
            (void)!write(master_, filler.data(), filler.size());
        }
        receiver.join();
        EXPECT_TRUE(finished) << "receive did not finish";
        return future.get();
    }

    int master_ = -1;
    int slave_ = -1;
    std::string slaveName_;
};

Bytes Request(uint8_t id, const Bytes &data) {
    return fixture::BuildRequest(id, data);
}

TEST_F(PtyLine, NoiseBeforeAFrameIsDropped) {
    Bytes frame = Request(0x32, {});
    Received got = Receive(support::Cat({{0x00, 0x11, 0x3E, 0x23, 0xFF}, frame}));
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(fixture::Hex(Bytes(got.buffer.begin(), got.buffer.begin() + 9)),
              fixture::Hex(support::Cat({frame, {0x00}})));
}

TEST_F(PtyLine, StartByteRestartsTheCollection) {
    Bytes frame = Request(0x30, {0x01, 0x02});
    // A broken frame cut short by a new '<', and two '<' in a row.
    Received got = Receive(support::Cat({{0x3C, 0x31, 0x23, 0x3C}, frame}));
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(fixture::Hex(Bytes(got.buffer.begin(), got.buffer.begin() + frame.size())),
              fixture::Hex(frame));
}

TEST_F(PtyLine, EmptyBodyIsCompleteAfterEightBytes) {
    Received got = Receive(Request(0x32, {}));
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.buffer[8], 0);
}

TEST_F(PtyLine, LargestFrameIsDelivered) {
    Bytes frame = Request(0x13, Bytes(119, 0x41));
    ASSERT_EQ(frame.size(), 127u);
    Received got = Receive(frame);
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(fixture::Hex(Bytes(got.buffer.begin(), got.buffer.begin() + 127)),
              fixture::Hex(frame));
    EXPECT_EQ(got.buffer[127], 0);
}

TEST_F(PtyLine, FrameTooLongIsAbandoned) {
    Bytes frame = {0x3C, 0x13, 0x23, 120, 0x23};
    frame.insert(frame.end(), 123, 0x41);  // 128 bytes: the last one no longer fits
    Received got = Receive(frame);
    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(got.buffer[0], 0xA5) << "a give-up copies nothing";
}

TEST_F(PtyLine, LengthByteWrapsAtEightBits) {
    // L + 8 wraps to 0..7: the collection ends at the fourth byte or at that total.
    for (int length = 248; length <= 255; ++length) {
        SCOPED_TRACE(length);
        size_t expected = std::max<size_t>(4, (length + 8) % 256);
        Bytes sent = {0x3C, 0x20, 0x23, static_cast<uint8_t>(length), 0x23, 0x11, 0x22, 0x33};
        Received got = Receive(sent);
        EXPECT_EQ(got.result, 2);
        EXPECT_EQ(fixture::Hex(Bytes(got.buffer.begin(), got.buffer.begin() + expected)),
                  fixture::Hex(Bytes(sent.begin(), sent.begin() + expected)));
        EXPECT_EQ(got.buffer[expected], 0);
        // The rest of the bytes stay in the line; the next receive flushes them.
    }
}

TEST_F(PtyLine, WrongFramingIsDeliveredWithResultTwo) {
    Bytes frame = Request(0x32, {0x07});
    frame[frame.size() - 1] = 0x21;  // not '>'
    Received got = Receive(frame);
    EXPECT_EQ(got.result, 2);
    EXPECT_EQ(fixture::Hex(Bytes(got.buffer.begin(), got.buffer.begin() + frame.size())),
              fixture::Hex(frame));
}

TEST_F(PtyLine, SendWritesTheFrameWithTheLineSettings) {
    const uint8_t frame[] = {0x3C, 0x32, 0x23, 0x05, 0x23, 0x00, 0x3B,
                             0x05, 0x00, 0x00, 0x23, 0x40, 0x3E, 0x00};
    EXPECT_EQ(ModbusSend(frame, 13), 0);
    Bytes got;
    int64_t deadline = fixture::NowUs() + 2000000;
    while (got.size() < 13 && fixture::NowUs() < deadline) {
        pollfd pfd = {master_, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0) continue;
        uint8_t buffer[256];
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 1 && buffer[0] == TIOCPKT_DATA) got.insert(got.end(), buffer + 1, buffer + n);
    }
    EXPECT_EQ(fixture::Hex(got), fixture::Hex(Bytes(frame, frame + 13)));

    termios tty;
    ASSERT_EQ(tcgetattr(slave_, &tty), 0);
    EXPECT_EQ(cfgetospeed(&tty), B19200);
    EXPECT_EQ(tty.c_cflag & CSIZE, CS8);
    EXPECT_EQ(tty.c_cflag & PARENB, 0u);
    EXPECT_EQ(tty.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tty.c_oflag & OPOST, 0u);
    EXPECT_EQ(tty.c_cc[VMIN], 1);
}

// The collection state machine alone, byte by byte, for inputs a pty cannot time well.
struct Source {
    Bytes bytes;
    size_t next = 0;
    static int Next(void *context, uint8_t *byte) {
        auto *self = static_cast<Source *>(context);
        if (self->next >= self->bytes.size()) return 0;
        *byte = self->bytes[self->next++];
        return 1;
    }
};

TEST(Collect, SourceRunningDryMidFrameIsReported) {
    Source source{{0x3C, 0x32, 0x23}};
    uint8_t out[MAX_FRAME_SIZE] = {};
    EXPECT_EQ(RS485CollectFrame(Source::Next, &source, out), -1);
}

TEST(Collect, StartByteAsLastByteIsKept) {
    // Only the final byte escapes the restart test: a checksum of '<' there is delivered.
    Bytes frame = {0x3C, 0x20, 0x23, 0x01, 0x23, 0x3C, 0x23, 0x3C};
    Source source{frame};
    uint8_t out[MAX_FRAME_SIZE] = {};
    EXPECT_EQ(RS485CollectFrame(Source::Next, &source, out), -1)
        << "the data '<' restarts the frame, which then waits for more bytes";
    Bytes good = {0x3C, 0x20, 0x23, 0x00, 0x23, 0x23, 0x00, 0x3C};
    Source second{good};
    std::memset(out, 0, sizeof out);
    EXPECT_EQ(RS485CollectFrame(Source::Next, &second, out), 2);
    EXPECT_EQ(out[7], 0x3C);
}

}  // namespace
