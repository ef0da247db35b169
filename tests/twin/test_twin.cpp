// The agent on the board twin (ARM kernel in QEMU), driven like the fixture drives a board:
// requests on the RS-485 line, stimuli through the twin's control channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "Frames.h"
#include "RS485lib.h"
#include "TwinBoard.h"

namespace {

using fixture::Bytes;
using fixture::Exchange;
using fixture::Status;
using twin::TwinBoard;

// Longest wait of any handler exercised here (touch: 1 s settle + 11 s window), with slack.
constexpr int kSlowTimeoutMs = 20000;
constexpr int kCanTimeoutMs = 12000;
// Association, key handshake and lease take about 10 s here; the agent allows the script 60 s.
constexpr int kWifiTimeoutMs = 70000;
constexpr size_t kImageBytes = 1000000;
// The agent allows the adapter's bring-up 10 s, waits a second, then the scan (a 10 s inquiry
// and the name requests) 30 s.
constexpr int kBtTimeoutMs = 45000;

Bytes Frame(const std::string &hex) {
    Bytes bytes;
    EXPECT_TRUE(fixture::ParseHex(hex, bytes)) << hex;
    return bytes;
}

Bytes Text(const std::string &text) {
    return Bytes(text.begin(), text.end());
}

// The answer of a command whose handler is not in the table yet.
bool NotSupported(const Exchange &ex) {
    return ex.status == Status::Ok && ex.response.ack == 1 && ex.response.data == Bytes{0};
}

// A readable verdict for "this exchange gave exactly that frame".
::testing::AssertionResult Answered(const Exchange &ex, const Bytes &want) {
    if (ex.status != Status::Ok) {
        return ::testing::AssertionFailure()
               << fixture::StatusName(ex.status) << ": " << ex.error
               << (ex.response.raw.empty() ? "" : " raw " + twin::Hex(ex.response.raw));
    }
    if (NotSupported(ex) && want != ex.response.raw) {
        return ::testing::AssertionFailure()
               << "handler not built yet (answered not supported), expected " << twin::Hex(want);
    }
    if (ex.response.raw != want) {
        return ::testing::AssertionFailure()
               << "got " << twin::Hex(ex.response.raw) << ", expected " << twin::Hex(want);
    }
    return ::testing::AssertionSuccess();
}

bool Contains(const std::vector<std::string> &lines, const std::string &needle) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string &l) { return l.find(needle) != std::string::npos; });
}

class Twin : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { board_ = new TwinBoard(); }
    static void TearDownTestSuite() {
        delete board_;
        board_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(board_->ready()) << board_->error();
        board_->ClearToolCalls();
    }
    TwinBoard &board() { return *board_; }
    std::string Guest(const std::string &command) { return board_->Ctl(command).output; }

    static TwinBoard *board_;
};

TwinBoard *Twin::board_ = nullptr;

// ---- fixture link ---------------------------------------------------------------------

// The emulated line under load: every exchange answered once, with the right bytes.
TEST_F(Twin, ThousandVersionExchangesInARowLoseNone) {
    const Bytes want = Frame("3C 32 23 05 23 00 3B 05 00 00 23 40 3E");
    int answered = 0, lost = 0, wrong = 0, resent = 0;
    const int64_t start = fixture::NowUs();
    for (int i = 0; i < 1000; ++i) {
        const Exchange ex = board().Request(0x32, {}, 3000);
        if (ex.status != Status::Ok) {
            ++lost;
        } else if (ex.response.raw != want) {
            ++wrong;
        } else {
            ++answered;
        }
        if (ex.attempts > 1) ++resent;
    }
    const double seconds = double(fixture::NowUs() - start) / 1e6;
    std::printf(
        "[ figures ] twin: 1000 version exchanges: %d answered, %d lost, %d wrong, "
        "%d resent, %.1f s\n",
        answered, lost, wrong, resent, seconds);
    EXPECT_EQ(1000, answered);
    EXPECT_EQ(0, resent) << "a request went unanswered once";
}

TEST_F(Twin, BadFramesAndUnknownIdsAreAnsweredWithoutRunningAnything) {
    EXPECT_TRUE(Answered(board().Raw(Frame("3C 30 23 00 23 23 05 3E")),
                         Frame("3C 30 23 03 23 01 3B 01 23 3D 3E")))
        << "wrong checksum";
    EXPECT_TRUE(Answered(board().Raw(Frame("3C 31 2A 01 23 50 23 50 3E")),
                         Frame("3C 31 23 03 23 01 3B 02 23 3E 3E")))
        << "byte 2 not '#'";
    EXPECT_TRUE(Answered(board().Request(0x40), Frame("3C 40 23 03 23 01 3B 00 23 3C 3E")))
        << "an id without a handler";
    EXPECT_TRUE(board().ToolCalls().empty());
}

// The twin's UART driver does RS-485: the agent's own port set-up must be accepted.
TEST_F(Twin, SerialPortTakesTheRs485Settings) {
    ASSERT_TRUE(Answered(board().Request(0x32), Frame("3C 32 23 05 23 00 3B 05 00 00 23 40 3E")));
    const auto log = board().AgentLog();
    ASSERT_TRUE(Contains(log, RS485_LISTENING_TEXT)) << "no agent log in syslog";
    EXPECT_FALSE(Contains(log, "unable to set IOCTL"))
        << "TIOCSRS485 refused; the driver answers: "
        << Guest("twin-guest rs485 /dev/ttyS2 0; twin-guest rs485 /dev/ttyS2 129");
}

// ---- board identity, clock, audio ------------------------------------------------------

TEST_F(Twin, BoardTypeFollowsTheSettingsFile) {
    const std::string file = "/hwtest/conf_settings.ini";
    const std::string original = board().ReadFile(file);
    ASSERT_NE(std::string::npos, original.find("BOARD TYPE=TVK"));
    EXPECT_TRUE(Answered(board().Request(0x30), Frame("3C 30 23 03 23 00 3B 01 23 3C 3E")));
    ASSERT_TRUE(board().WriteFile(file, "# board\nBOARD TYPE=RDMX\n"));
    EXPECT_TRUE(Answered(board().Request(0x30), Frame("3C 30 23 03 23 00 3B 00 23 3B 3E")));
    ASSERT_TRUE(board().WriteFile(file, "BOARD TYPE=tvk\n"));
    EXPECT_TRUE(Answered(board().Request(0x30), Frame("3C 30 23 03 23 01 3B 05 23 41 3E")));
    ASSERT_TRUE(board().WriteFile(file, original));
}

// The twin's date and hwclock are the board's busybox tools on a real RTC (PL031).
TEST_F(Twin, RtcSetThenGetReportTheClock) {
    EXPECT_TRUE(Answered(board().Request(0x12, {15, 3, 20, 24, 9, 5}, kSlowTimeoutMs),
                         Frame("3C 12 23 08 23 00 3B 0F 03 14 18 09 05 23 87 3E")));
    EXPECT_TRUE(Answered(board().Request(0x14, {}, kSlowTimeoutMs),
                         Frame("3C 14 23 08 23 00 3B 0F 03 14 18 09 05 23 87 3E")));
    EXPECT_EQ("Fri Mar 15 09:05", Guest("date '+%a %b %d %H:%M'")) << "system clock not set";
}

// Real aplay and amixer on the ALSA loopback card, through the board's SoftVolume control.
TEST_F(Twin, AudioPlaysThreeSecondsAndVolumeReadsBack) {
    const Exchange play = board().Request(0x20, {}, kSlowTimeoutMs);
    EXPECT_TRUE(Answered(play, Frame("3C 20 23 01 23 00 23 00 3E")));
    // The test sound lasts 8 s; aplay -d 3 plays 3 of them at the card's pace.
    EXPECT_GE(play.totalMs, 3000.0);
    EXPECT_LT(play.totalMs, 8000.0);
    EXPECT_TRUE(Answered(board().Request(0x31, {0x50}), Frame("3C 31 23 03 23 00 3B 50 23 8B 3E")));
    EXPECT_NE(std::string::npos, Guest("amixer get SoftVolume").find("Front Left: 80 ["));
    EXPECT_TRUE(Answered(board().Request(0x31, {0xFF}), Frame("3C 31 23 03 23 00 3B FF 23 3A 3E")));
    EXPECT_NE(std::string::npos, Guest("amixer get SoftVolume").find("Front Left: 255 ["));
}

// ---- CAN: two serial CAN adapters (slcan) on one wire, the peer's an echo node ---------

// Nothing but the agent's start-up touches can0: it is up at the board's rate only if the
// agent's own bring-up worked on a driver that takes a bit rate.
TEST_F(Twin, AgentBroughtCan0UpAt500kbit) {
    EXPECT_EQ("bitrate 500000 state 0 up", Guest("twin-guest can-info can0"));
}

TEST_F(Twin, CanFrameComesBackFromThePeer) {
    ASSERT_EQ(0, board().Ctl("twin-canecho start").status);
    EXPECT_TRUE(Answered(board().Request(0x16, Frame("12 03 AA BB CC"), kCanTimeoutMs),
                         Frame("3C 16 23 07 23 00 3B 12 03 AA BB CC 23 81 3E")));
    // Only the peer's copy can answer: the socket does not hear its own frame.
    EXPECT_TRUE(Answered(board().Request(0x16, Frame("7F 00"), kCanTimeoutMs),
                         Frame("3C 16 23 04 23 00 3B 7F 00 23 BA 3E")));
}

// The peer is on the bus but never answers this identifier.
TEST_F(Twin, CanWithQuietIdFailsAfterItsWindow) {
    ASSERT_EQ(0, board().Ctl("twin-canecho start 0x12").status);
    const long ticksBefore = board().AgentCpuTicks();
    const Exchange ex = board().Request(0x16, Frame("12 03 AA BB CC"), kCanTimeoutMs);
    const long ticksAfter = board().AgentCpuTicks();
    ASSERT_EQ(0, board().Ctl("twin-canecho start").status);

    EXPECT_TRUE(Answered(ex, Frame("3C 16 23 03 23 01 3B 05 23 41 3E")));
    EXPECT_EQ(1, ex.attempts);
    EXPECT_GT(ex.totalMs, 5000.0);
    // The window ends at most 6 s after the send; the rest is the emulated line and logging.
    EXPECT_LE(ex.totalMs, 6500.0);
    const long hz = board().TicksPerSecond();
    if (ticksBefore >= 0 && ticksAfter >= 0) {
        std::printf("[ figures ] CAN window without peer: %.0f ms, agent CPU %.2f s (%ld ticks)\n",
                    ex.totalMs, double(ticksAfter - ticksBefore) / double(hz),
                    ticksAfter - ticksBefore);
        RecordProperty("can_window_ms", static_cast<int>(ex.totalMs));
        RecordProperty("can_window_cpu_ticks", static_cast<int>(ticksAfter - ticksBefore));
    }
}

// ---- touch panel through uinput ------------------------------------------------------

TEST_F(Twin, TouchReportsTheFirstCompletePosition) {
    // The agent opens the panel about a second after the request; touches go on until it
    // answers, and those before it opened are not seen by it.
    std::atomic<bool> done{false};
    std::thread finger([&] {
        while (!done) {
            board().Ctl("echo 'touch 291 70000' > /run/twin/touch");
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        }
    });
    const Exchange ex = board().Request(0x22, {}, kSlowTimeoutMs);
    done = true;
    finger.join();
    // X 0x0123, Y 70000 of which only the low 16 bits (0x1170) travel.
    EXPECT_TRUE(Answered(ex, Frame("3C 22 23 06 23 00 3B 01 23 11 70 23 E0 3E")));
    // busybox's modprobe (the shell prefers its own applets) finds no such module here.
    EXPECT_TRUE(Contains(board().AgentLog(), "gt9xx")) << "driver load not attempted";
}

// ---- LCD: what the framebuffer took is what the display shows ---------------------------

TEST_F(Twin, LcdShowsTheTestImage) {
    EXPECT_TRUE(
        Answered(board().Request(0x17, {}, kSlowTimeoutMs), Frame("3C 17 23 01 23 00 23 00 3E")));

    std::ifstream in(board().Endpoint("lcd_image"), std::ios::binary);
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    ASSERT_EQ(kImageBytes, image.size());

    // The display is refreshed from the framebuffer shortly after the write.
    twin::Picture picture;
    size_t mismatched = kImageBytes / 4;
    for (int attempt = 0; attempt < 10 && mismatched != 0; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::string error;
        ASSERT_TRUE(board().Screendump(picture, error)) << error;
        ASSERT_EQ(800, picture.width);
        ASSERT_EQ(480, picture.height);
        mismatched = 0;
        // XRGB8888 in memory is B, G, R, X; the picture is R, G, B.
        for (size_t px = 0; px < kImageBytes / 4; ++px) {
            const uint8_t *rgb = &picture.rgb[px * 3];
            const uint8_t *bgrx = &image[px * 4];
            if (rgb[0] != bgrx[2] || rgb[1] != bgrx[1] || rgb[2] != bgrx[0]) ++mismatched;
        }
    }
    EXPECT_EQ(0u, mismatched) << "pixels of the test image not on the display";
}

// ---- haptic actuator on the twin's GPIO and PWM files -----------------------------------

TEST_F(Twin, HapticStartsAtHalfDutyAndStops) {
    const std::string pwm = "/sys/class/pwm/pwmchip0/pwm3/";
    ASSERT_TRUE(board().WriteFile(pwm + "period", "999\n"));
    EXPECT_TRUE(Answered(board().Request(0x21, {2}), Frame("3C 21 23 01 23 00 23 00 3E")));
    EXPECT_EQ("499", Guest("cat " + pwm + "duty_cycle"));
    EXPECT_EQ("1", Guest("cat " + pwm + "enable"));
    EXPECT_EQ("1", Guest("cat /sys/class/gpio/pioB17/value"));
    EXPECT_TRUE(Answered(board().Request(0x21, {1}), Frame("3C 21 23 03 23 01 3B 05 23 41 3E")))
        << "a second start while running";

    EXPECT_TRUE(Answered(board().Request(0x29), Frame("3C 29 23 01 23 00 23 00 3E")));
    EXPECT_EQ("0", Guest("cat " + pwm + "enable"));
    EXPECT_EQ("0", Guest("cat /sys/class/gpio/pioB17/value"));
    EXPECT_TRUE(Answered(board().Request(0x29), Frame("3C 29 23 03 23 01 3B 05 23 41 3E")))
        << "a stop while stopped";
}

// ---- MAC, USB stick ------------------------------------------------------------------------

TEST_F(Twin, MacAddressOfEth0) {
    ASSERT_EQ("00:1a:2b:3c:4d:5e", Guest("cat /sys/class/net/eth0/address"));
    EXPECT_TRUE(Answered(board().Request(0x19),
                         Frame("3C 19 23 0D 23 00 3B 00 3A 1A 3A 2B 3A 3C 3A 4D 3A 5E 23 89 3E")));
}

TEST_F(Twin, UsbFileOnTheStick) {
    ASSERT_EQ(0, board().Ctl("mkdir -p /mnt/logs && echo data > /mnt/logs/usbtest.txt").status);
    EXPECT_TRUE(Answered(board().Request(0x15, Text("logs/usbtest.txt")),
                         Frame("3C 15 23 01 23 00 23 00 3E")));
    EXPECT_TRUE(
        Answered(board().Request(0x15, Text("logs")), Frame("3C 15 23 03 23 01 3B 05 23 41 3E")))
        << "a directory is no file";
    // Request text is data, never shell: this must neither pass nor create anything.
    EXPECT_TRUE(Answered(board().Request(0x15, Text("x ]] || touch /tmp/owned; [[ -f x")),
                         Frame("3C 15 23 03 23 01 3B 05 23 41 3E")));
    EXPECT_NE(0, board().Ctl("[ -e /tmp/owned ]").status) << "request text reached the shell";
}

// ---- Bluetooth: hci_uart on ttyAMA3, the controller and its peer on BlueZ's emulator -------

// The agent's own hciconfig and hcitool (BlueZ's) on a kernel HCI device: the inquiry finds
// the peer on the emulator's air by its name, with the address the emulator gave it.
TEST_F(Twin, BluetoothScanFindsThePeerByNameAndNothingElse) {
    const twin::CtlResult peer = board().Beacon("start");
    ASSERT_EQ(0, peer.status) << peer.output;
    const Bytes address = support::FromHex(peer.output);
    ASSERT_EQ(6u, address.size()) << peer.output;
    Bytes data;  // the address bytes with the text's colons between them
    for (uint8_t byte : address) {
        if (!data.empty()) data.push_back(':');
        data.push_back(byte);
    }
    EXPECT_TRUE(Answered(board().Request(0x13, Text("TVK-Fixture-Beacon"), kBtTimeoutMs),
                         support::Answer(0x13, 0, data)))
        << "peer " << peer.output;
    EXPECT_NE(std::string::npos, Guest("hciconfig hci0").find("UP RUNNING"));
    EXPECT_TRUE(Answered(board().Request(0x13, Text("Nobody-Here"), kBtTimeoutMs),
                         support::FailAnswer(0x13)))
        << "a pattern no device matches";
}

// Within 30 s of the last inquiry the kernel answers from its cache: the peer may still be
// listed, but with no name to match, as on a board whose peer just went away.
TEST_F(Twin, BluetoothScanWithThePeerGoneFails) {
    ASSERT_EQ(0, board().Beacon("stop").status);
    const Exchange ex = board().Request(0x13, Text("TVK-Fixture-Beacon"), kBtTimeoutMs);
    const twin::CtlResult back = board().Beacon("start");
    EXPECT_TRUE(Answered(ex, support::FailAnswer(0x13)));
    EXPECT_EQ(0, back.status) << back.output;
}

// ---- network: eth0 and wlan0 are interfaces without wire or radio ------------------------

// eth0 is the LAN9118 driver; its cable ends in the twin's lab (sbin/twin-lab in the image):
// 10.0.77.1 answers pings and serves DHCP, which gives eth0 10.0.77.10.
TEST_F(Twin, EthernetStaticDhcpAndPingOverTheWire) {
    EXPECT_TRUE(Answered(
        board().Request(0x25, {1, 10, 0, 77, 50, 255, 255, 255, 0, 10, 0, 77, 1}, kSlowTimeoutMs),
        Frame("3C 25 23 06 23 00 3B 0A 00 4D 32 23 C4 3E")));
    EXPECT_NE(std::string::npos, Guest("ip -4 addr show eth0").find("10.0.77.50/24"));

    // Without a server the leftover static address must not pass for a lease.
    ASSERT_EQ(0, board().Ctl("twin-lab dhcp-off").status);
    const Exchange none = board().Request(0x25, {0}, kSlowTimeoutMs * 2);
    ASSERT_EQ(0, board().Ctl("twin-lab dhcp-on").status);
    EXPECT_TRUE(Answered(none, Frame("3C 25 23 03 23 01 3B 05 23 41 3E")));

    EXPECT_TRUE(Answered(board().Request(0x25, {0}, kSlowTimeoutMs * 2),
                         Frame("3C 25 23 06 23 00 3B 0A 00 4D 0A 23 9C 3E")))
        << Guest(
               "grep -E 'udhcp|S30-network' /var/log/messages /run/sim/calls.log | tail -n 40; "
               "twin-lab run cat /proc/net/udp; ps");
    EXPECT_NE(std::string::npos, Guest("ip -4 addr show eth0").find("10.0.77.10/24"));

    const Exchange ping = board().Request(0x26, {10, 0, 77, 1}, kSlowTimeoutMs);
    ASSERT_EQ(Status::Ok, ping.status) << ping.error;
    EXPECT_EQ(0, ping.response.ack) << twin::Hex(ping.response.raw);
    EXPECT_EQ(4u, ping.response.data.size()) << "round trip in ms, 4 bytes";
}

// The real wpa_supplicant on the first simulated radio, with the agent's configuration file,
// against hostapd on the second (TVK-LAB, WPA2-PSK) in the lab; DHCP there gives 10.0.78.20.
TEST_F(Twin, WifiAssociatesPingsOverTheAirAndStops) {
    ASSERT_EQ(0, board().Ctl("rm -f /etc/wpa_supplicant.conf").status);
    const Bytes ok = Frame("3C 27 23 06 23 00 3B 0A 00 4E 14 23 A7 3E");
    Bytes request = {1, 0};
    const Bytes text = Text("TVK-LAB;tvk-lab-passphrase");
    request.insert(request.end(), text.begin(), text.end());
    ASSERT_TRUE(Answered(board().Request(0x27, request, kWifiTimeoutMs), ok));
    EXPECT_NE(std::string::npos,
              Guest("twin-lab run iw dev wlan1 station dump").find("Station 02:00:00:00:00:00"))
        << "the access point does not list the board";

    const Exchange ping = board().Request(0x28, {10, 0, 78, 1}, kSlowTimeoutMs);
    ASSERT_EQ(Status::Ok, ping.status) << ping.error;
    EXPECT_EQ(0, ping.response.ack) << twin::Hex(ping.response.raw);
    EXPECT_EQ(4u, ping.response.data.size());

    EXPECT_TRUE(
        Answered(board().Request(0x33, {}, kSlowTimeoutMs), Frame("3C 33 23 01 23 00 23 00 3E")));
    EXPECT_NE(std::string::npos, Guest("iw dev wlan0 link").find("Not connected"));
    EXPECT_EQ("", Guest("twin-lab run iw dev wlan1 station dump"));
}

// The agent adds a block per request: the wrong passphrase's block stays ahead of the right
// one, and the client must go on to it.
TEST_F(Twin, WifiWrongPassphraseFailsAndTheRightOneAfterItPasses) {
    ASSERT_EQ(0, board().Ctl("rm -f /etc/wpa_supplicant.conf").status);
    const auto join = [&](const std::string &ssidAndKey) {
        Bytes request = {1, 0};
        const Bytes text = Text(ssidAndKey);
        request.insert(request.end(), text.begin(), text.end());
        return board().Request(0x27, request, kWifiTimeoutMs);
    };
    EXPECT_TRUE(Answered(join("TVK-LAB;not-the-passphrase"), support::FailAnswer(0x27)));
    EXPECT_EQ("", Guest("twin-lab run iw dev wlan1 station dump | grep authorized.*yes"));

    EXPECT_TRUE(Answered(join("TVK-LAB;tvk-lab-passphrase"),
                         Frame("3C 27 23 06 23 00 3B 0A 00 4E 14 23 A7 3E")));
    EXPECT_EQ("2", Guest("grep -c '^network=' /etc/wpa_supplicant.conf"))
        << "the wrong block is not ahead of the right one";
    EXPECT_TRUE(
        Answered(board().Request(0x33, {}, kSlowTimeoutMs), Frame("3C 33 23 01 23 00 23 00 3E")));
    board().Ctl("rm -f /etc/wpa_supplicant.conf");
}

// ---- the board's start script keeps the agent alive --------------------------------------

TEST_F(Twin, AgentIsStartedAgainWhenItDies) {
    const pid_t before = board().AgentPid();
    ASSERT_GT(before, 0);
    ASSERT_EQ(0, board().Ctl("kill -KILL " + std::to_string(before)).status);
    pid_t after = -1;
    for (int i = 0; i < 50 && (after <= 0 || after == before); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        after = board().AgentPid();
    }
    ASSERT_GT(after, 0) << "not started again";
    EXPECT_NE(before, after);
    EXPECT_TRUE(Answered(board().Request(0x32, {}, kSlowTimeoutMs),
                         Frame("3C 32 23 05 23 00 3B 05 00 00 23 40 3E")));
    EXPECT_NE(std::string::npos, Guest("grep -c 'tvk-agent: .*ended, restarting' "
                                       "/var/log/messages")
                                     .find_first_of("123456789"));
}

}  // namespace
