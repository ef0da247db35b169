// Touch event handling, MAC text conversion, the Bluetooth scan command and the USB name rules.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "CommonDef.h"
#include "FakePlatform.h"
#include "Platform.h"
#include "TestBluetooth.h"
#include "TestMacAddr.h"
#include "TestTouchScreen.h"
#include "TestUSB.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- MacAsciitoHex

struct MacCase {
    const char *name;
    const char *text;
    Bytes expected;  // every byte written, the closing 0 included
};

const MacCase kMacCases[] = {
    {"standard address",
     "00:1a:2b:3c:4d:5e",
     {0x00, 0x3A, 0x1A, 0x3A, 0x2B, 0x3A, 0x3C, 0x3A, 0x4D, 0x3A, 0x5E, 0x00}},
    {"upper case digits",
     "00:1A:2B:3C:4D:5E",
     {0x00, 0x3A, 0x1A, 0x3A, 0x2B, 0x3A, 0x3C, 0x3A, 0x4D, 0x3A, 0x5E, 0x00}},
    {"one-digit group before a colon", "5:1a", {0x05, 0x3A, 0x1A, 0x00}},
    {"last character alone is dropped", "aa:b", {0xAA, 0x3A, 0x00}},
    {"pairs without hex digits convert to 0", "zz:yy", {0x00, 0x3A, 0x00, 0x00}},
    {"leading hex digit of a pair counts", "1g:2h", {0x01, 0x3A, 0x02, 0x00}},
    {"empty text", "", {0x00}},
};

TEST(MacAsciitoHex, ConvertsColonSeparatedText) {
    for (const MacCase &c : kMacCases) {
        SCOPED_TRACE(c.name);
        unsigned char out[32];
        std::memset(out, 0xEE, sizeof out);
        MacAsciitoHex(reinterpret_cast<const unsigned char *>(c.text), out);
        EXPECT_EQ(Bytes(out, out + c.expected.size()), c.expected);
        EXPECT_EQ(out[c.expected.size()], 0xEE) << "nothing written past the closing 0";
    }
}

// ---- Shell commands, recorded instead of run

// The scan's device lines only: a tab, the address, a blank; then the pattern.
const std::string kScanFilter =
    "hcitool scan | grep -E '^[[:space:]]*([[:xdigit:]]{2}:){5}[[:xdigit:]]{2}[[:space:]]' | ";

class ShellCommands : public ::testing::Test {
  protected:
    // Runs the Bluetooth handler on `pattern` as a request's data area holds it.
    stResponsePkt Bluetooth(const std::string &pattern) {
        stRecvPkt request = {};
        request.cmdID = CMD_BLUETOOTH;
        request.length = static_cast<uint8_t>(pattern.size());
        std::memcpy(request.data, pattern.data(), pattern.size());
        stResponsePkt response = {};
        TestBluetooth(&request, &response);
        return response;
    }

    support::FakePlatform recorder_;  // a read of any command delivers anyOutput
};

TEST_F(ShellCommands, BluetoothScanReportsTheFirstAddressAsBytes) {
    recorder_.anyOutput = "AA:BB:CC:DD:EE:FF\n00:11:22:33:44:55\n";
    stResponsePkt response = Bluetooth("Phone");
    EXPECT_EQ(recorder_.commands, (std::vector<std::string>{
                                      "hciconfig hci0 up",
                                      kScanFilter + "grep -e 'Phone' | cut -f2",
                                  }));
    EXPECT_EQ(recorder_.readSizes, (std::vector<int>{18}));
    EXPECT_EQ(response.ack, ACK_PASS);
    EXPECT_EQ(response.length, 11);
    EXPECT_EQ(Bytes(response.data, response.data + 12),
              (Bytes{0xAA, 0x3A, 0xBB, 0x3A, 0xCC, 0x3A, 0xDD, 0x3A, 0xEE, 0x3A, 0xFF, 0x00}));
}

TEST_F(ShellCommands, BluetoothPatternIsOneQuotedGrepPattern) {
    struct {
        const char *pattern;
        std::string command;
    } cases[] = {
        {"x; touch /tmp/pwned", kScanFilter + "grep -e 'x; touch /tmp/pwned' | cut -f2"},
        {"it's $(reboot) `id` | x",
         kScanFilter + "grep -e 'it'\\''s $(reboot) `id` | x' | cut -f2"},
        {"-v", kScanFilter + "grep -e '-v' | cut -f2"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pattern);
        recorder_.commands.clear();
        stResponsePkt response = Bluetooth(c.pattern);
        ASSERT_EQ(recorder_.commands.size(), 2u);
        EXPECT_EQ(recorder_.commands[1], c.command);
        EXPECT_EQ(response.ack, ACK_FAIL) << "nothing listed, nothing found";
        EXPECT_EQ(response.data[0], ERR_CODE_TEST_FAILED);
    }
}

TEST_F(ShellCommands, BluetoothPassesOnlyWithAnAddress) {
    for (const char *answer : {"Scanning ...\n", "AA:BB:CC:DD:EE:GG\n", ""}) {
        SCOPED_TRACE(answer);
        recorder_.anyOutput = answer;
        EXPECT_EQ(Bluetooth("an").ack, ACK_FAIL);
    }
    recorder_.anyOutput = "aa:bb:cc:dd:ee:ff\n";
    EXPECT_EQ(Bluetooth("an").ack, ACK_PASS);
}

TEST_F(ShellCommands, BluetoothTakesPatternsUpToTheWholeRequest) {
    const std::string pattern(MAX_BODY_LENGTH, 'n');
    recorder_.anyOutput = "01:02:03:04:05:06\n";
    stResponsePkt response = Bluetooth(pattern);
    ASSERT_EQ(recorder_.commands.size(), 2u);
    EXPECT_EQ(recorder_.commands[1], kScanFilter + "grep -e '" + pattern + "' | cut -f2");
    EXPECT_EQ(response.ack, ACK_PASS);
    EXPECT_EQ(response.data[10], 0x06);
}

TEST_F(ShellCommands, BluetoothWithoutAPatternRunsNothing) {
    stResponsePkt empty = Bluetooth("");
    EXPECT_EQ(empty.ack, ACK_FAIL);
    EXPECT_EQ(empty.length, 1);
    EXPECT_EQ(empty.data[0], ERR_CODE_TEST_FAILED);

    // A data area with no end at all is not a pattern either.
    unsigned char unterminated[PKT_DATA_SIZE];
    std::memset(unterminated, 'a', sizeof unterminated);
    char address[18] = {};
    EXPECT_EQ(BluetoothTest(unterminated, address), 0);
    EXPECT_TRUE(recorder_.commands.empty()) << recorder_.commands.front();
}

TEST_F(ShellCommands, InstallRoutinesCopyTheBoardConfiguration) {
    USBinit();
    InitBluetooth();
    EXPECT_EQ(recorder_.commands, (std::vector<std::string>{
                                      "cp ../config/85-my_usb_device_rules.rules "
                                      "/etc/udev/rules.d/85-my_usb_device_rules.rules",
                                      "cp ../config/rfcomm.conf /etc/bluetooth/rfcomm.conf",
                                  }));
}

// ---- USB names

TEST(UsbName, ParentComponentsAreRefused) {
    struct {
        const char *name;
        int allowed;
    } cases[] = {
        {"", 1},          {"test.txt", 1}, {"dir/file.bin", 1},  {"./file", 1},
        {"/abs/path", 1}, {"...", 1},      {"..hidden", 1},      {"name..", 1},
        {"a/.../b", 1},   {"..", 0},       {"../etc/passwd", 0}, {"a/../b", 0},
        {"a/..", 0},      {"a//..//b", 0}, {"/..", 0},           {"x/y/z/../../..", 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(UsbNameAllowed(c.name), c.allowed) << '"' << c.name << '"';
    }
}

TEST_F(ShellCommands, UsbTestChecksWithoutAShell) {
    // /mnt/../etc/passwd is a regular file on any Linux host: refused all the same.
    unsigned char climbing[PKT_DATA_SIZE] = "../etc/passwd";
    EXPECT_EQ(USBTest(climbing), 0);
    unsigned char hostile[PKT_DATA_SIZE] = "x; echo \"File exists\"";
    EXPECT_EQ(USBTest(hostile), 0);
    unsigned char unterminated[PKT_DATA_SIZE];
    std::memset(unterminated, 'a', sizeof unterminated);
    EXPECT_EQ(USBTest(unterminated), 0);
    EXPECT_TRUE(recorder_.commands.empty()) << recorder_.commands.front();
}

// ---- Touch events

class TouchEvents : public ::testing::Test {
  protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        readEnd_ = fds[0];
        writeEnd_ = fds[1];
        // The agent opens its device non-blocking.
        ASSERT_EQ(fcntl(readEnd_, F_SETFL, O_NONBLOCK), 0);
    }
    void TearDown() override {
        if (readEnd_ >= 0) close(readEnd_);
        CloseWriter();
    }
    void CloseWriter() {
        if (writeEnd_ >= 0) close(writeEnd_);
        writeEnd_ = -1;
    }
    void Send(uint16_t type, uint16_t code, int32_t value) {
        input_event event = {};
        event.type = type;
        event.code = code;
        event.value = value;
        ASSERT_EQ(write(writeEnd_, &event, sizeof event), static_cast<ssize_t>(sizeof event));
    }
    // Bytes still waiting in the pipe.
    ssize_t Unread() {
        char rest[256];
        ssize_t n = read(readEnd_, rest, sizeof rest);
        return n < 0 ? 0 : n;
    }

    int readEnd_ = -1;
    int writeEnd_ = -1;
    int x_ = -1;
    int y_ = -1;
};

TEST_F(TouchEvents, FirstYAfterAnXCompletesTheTouch) {
    Send(EV_ABS, ABS_Y, 0x10);  // a Y before any X does not count
    Send(EV_KEY, BTN_TOUCH, 1);
    Send(EV_ABS, ABS_MT_POSITION_X, 0x777);
    Send(EV_ABS, ABS_X, 0x0100);
    Send(EV_ABS, ABS_X, 0x0123);  // the latest X wins
    Send(EV_SYN, SYN_REPORT, 0);
    Send(EV_ABS, ABS_Y, 0x0456);
    Send(EV_ABS, ABS_X, 0x0999);  // after the touch: left unread
    EXPECT_EQ(WaitForTouch(readEnd_, time(nullptr), &x_, &y_), 1);
    EXPECT_EQ(x_, 0x0123);
    EXPECT_EQ(y_, 0x0456);
    EXPECT_EQ(Unread(), static_cast<ssize_t>(sizeof(input_event)));
}

TEST_F(TouchEvents, ValuesComeBackWhole) {
    Send(EV_ABS, ABS_X, 70000);
    Send(EV_ABS, ABS_Y, -5);
    EXPECT_EQ(WaitForTouch(readEnd_, time(nullptr), &x_, &y_), 1);
    EXPECT_EQ(x_, 70000);
    EXPECT_EQ(y_, -5);
}

TEST_F(TouchEvents, ShortOrMissingRecordFails) {
    Send(EV_ABS, ABS_X, 1);
    const char half[sizeof(input_event) / 2] = {};
    ASSERT_EQ(write(writeEnd_, half, sizeof half), static_cast<ssize_t>(sizeof half));
    CloseWriter();
    EXPECT_EQ(WaitForTouch(readEnd_, time(nullptr), &x_, &y_), 0);
}

TEST_F(TouchEvents, WriterGoneFailsAtOnce) {
    CloseWriter();
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForTouch(readEnd_, time(nullptr), &x_, &y_), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(1));
}

TEST_F(TouchEvents, WaitEndsWithTheWindow) {
    // Only a partial touch arrives; the window began 10 s ago, so it ends within a second.
    Send(EV_ABS, ABS_X, 3);
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForTouch(readEnd_, time(nullptr) - 10, &x_, &y_), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(1500));
}

TEST_F(TouchEvents, NothingIsReadOnceTheWindowIsOver) {
    Send(EV_ABS, ABS_X, 1);
    Send(EV_ABS, ABS_Y, 2);
    EXPECT_EQ(WaitForTouch(readEnd_, time(nullptr) - 11, &x_, &y_), 0);
    EXPECT_EQ(Unread(), static_cast<ssize_t>(2 * sizeof(input_event)));
}

}  // namespace
