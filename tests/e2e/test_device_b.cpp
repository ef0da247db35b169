// Touch screen, LCD, USB stick, MAC address and Bluetooth scan through the real agent.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BoardHarness.h"

namespace {

namespace fs = std::filesystem;
using e2e::BoardSandbox;
using fixture::Bytes;
using fixture::Status;

constexpr uint8_t kTouch = 0x22;
constexpr uint8_t kLcd = 0x17;
constexpr uint8_t kUsb = 0x15;
constexpr uint8_t kMac = 0x19;
constexpr uint8_t kBluetooth = 0x13;

std::string FailFrame(uint8_t id) {
    return e2e::Hex(support::FailAnswer(id));
}

Bytes Text(const std::string &text) {
    return Bytes(text.begin(), text.end());
}

// A literal with the NUL bytes inside it kept.
template <size_t N>
std::string Raw(const char (&text)[N]) {
    return std::string(text, N - 1);
}

// One request, no resend: a resent request would run the test twice.
std::string Ask(BoardSandbox &board, uint8_t id, const Bytes &data, int timeoutMs = 5000) {
    auto got = board.link().Transact(fixture::BuildRequest(id, data), timeoutMs, 0);
    if (got.status != Status::Ok) return std::string("no answer: ") + got.error;
    return e2e::Hex(got.response.raw);
}

// Every path under the board directory, with size and mode, to see that nothing appeared.
std::set<std::string> Snapshot(const std::string &root) {
    std::set<std::string> entries;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        struct stat info;
        if (lstat(it->path().c_str(), &info) != 0) continue;
        std::ostringstream line;
        line << it->path().string() << ' ' << info.st_mode << ' '
             << (S_ISREG(info.st_mode) ? info.st_size : 0);
        entries.insert(line.str());
    }
    return entries;
}


// ---- Touch screen

struct TouchEvent {
    uint16_t type;
    uint16_t code;
    int32_t value;
};

class TouchScreen : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(board_.Start()) << board_.AgentLog();
        // Held for the whole test: without a writer the agent's reads would see the end.
        fifo_ = open(board_.Path("dev/input/event0").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fifo_, 0);
    }
    void TearDown() override {
        if (fifo_ >= 0) close(fifo_);
    }
    void Send(const std::vector<TouchEvent> &events) {
        for (const TouchEvent &e : events) {
            input_event record = {};
            record.type = e.type;
            record.code = e.code;
            record.value = e.value;
            ASSERT_EQ(write(fifo_, &record, sizeof record), static_cast<ssize_t>(sizeof record));
        }
    }
    void Drain() {
        char rest[4096];
        while (read(fifo_, rest, sizeof rest) > 0) {
        }
    }

    BoardSandbox board_;
    int fifo_ = -1;
};

TEST_F(TouchScreen, ReportsTheFirstCompleteTouch) {
    struct {
        const char *name;
        std::vector<TouchEvent> events;
        const char *response;
    } cases[] = {
        {"X then Y",
         {{EV_ABS, ABS_X, 0x0123}, {EV_ABS, ABS_Y, 0x0456}},
         "3C 22 23 06 23 00 3B 01 23 04 56 23 B9 3E"},
        {"wider than 16 bits: low bits only",
         {{EV_ABS, ABS_X, 70000}, {EV_ABS, ABS_Y, 0x0456}},
         "3C 22 23 06 23 00 3B 11 70 04 56 23 16 3E"},
        {"Y before any X does not count",
         {{EV_ABS, ABS_Y, 5}, {EV_ABS, ABS_X, 0x20}, {EV_ABS, ABS_Y, 0x30}},
         "3C 22 23 06 23 00 3B 00 20 00 30 23 8B 3E"},
        {"key, sync and multi-touch events are skipped",
         {{EV_KEY, BTN_TOUCH, 1},
          {EV_ABS, ABS_MT_POSITION_X, 0x0999},
          {EV_ABS, ABS_X, 0x0258},
          {EV_ABS, ABS_MT_POSITION_Y, 0x0888},
          {EV_SYN, SYN_REPORT, 0},
          {EV_ABS, ABS_Y, 0x0190}},
         "3C 22 23 06 23 00 3B 02 58 01 90 23 26 3E"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Drain();
        Send(c.events);
        EXPECT_EQ(Ask(board_, kTouch, {}), c.response);
    }
    size_t loads = 0;
    for (const std::string &call : board_.ToolCalls()) loads += call == "modprobe gt9xx";
    EXPECT_EQ(loads, std::size(cases));
    EXPECT_EQ(board_.CountInLog("Touch screen Test success"), std::size(cases));
}

TEST_F(TouchScreen, NoTouchFailsWhenTheWindowCloses) {
    // Events that are no touch, then nothing at all.
    Send({{EV_KEY, BTN_TOUCH, 1}, {EV_SYN, SYN_REPORT, 0}, {EV_ABS, ABS_MT_POSITION_X, 7}});

    std::atomic<bool> answered{false};
    std::chrono::steady_clock::time_point opened{};
    std::thread watcher([&] {
        // The agent logs the device name right before its window starts.
        while (!answered && board_.CountInLog("device name = ") == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        opened = std::chrono::steady_clock::now();
    });
    const auto asked = std::chrono::steady_clock::now();
    const std::string response = Ask(board_, kTouch, {}, 15000);
    const auto done = std::chrono::steady_clock::now();
    answered = true;
    watcher.join();

    EXPECT_EQ(response, FailFrame(kTouch));
    const double total = std::chrono::duration<double>(done - asked).count();
    const double window = std::chrono::duration<double>(done - opened).count();
    std::printf("touch window %.3f s, whole test %.3f s\n", window, total);
    // 1 s for the driver to settle, then more than 10 and at most 11 s on the whole-second
    // clock. The total can only overstate the agent's time, so its lower bound is exact; the
    // window is seen through the log, a little late on a busy machine. The upper bounds leave
    // room for a slow machine but not for a wait that outlives the window.
    EXPECT_GT(total, 11.0);
    EXPECT_LT(total, 13.5);
    EXPECT_GT(window, 9.9);
    EXPECT_LT(window, 11.75);
    EXPECT_EQ(board_.CountInLog("Timeout reached ...."), 1u);
    EXPECT_EQ(board_.CountInLog("Touch screen Test fail\n"), 1u);
}

// ---- LCD

class Lcd : public ::testing::Test {
  protected:
    static constexpr size_t kImage = 1000000;
    void SetUp() override { ASSERT_TRUE(board_.Start()) << board_.AgentLog(); }
    static std::string Pattern(size_t size, unsigned seed) {
        std::string bytes(size, '\0');
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * seed + i / 251) & 0xFF);
        return bytes;
    }
    BoardSandbox board_;
};

TEST_F(Lcd, ImageReachesTheFramebuffer) {
    const std::string pass = "3C 17 23 01 23 00 23 00 3E";
    const std::string image = Pattern(kImage, 7);
    // A framebuffer larger than the image keeps what lies behind it.
    board_.WriteFile("dev/fb0", std::string(kImage + 4096, '\xFF'));
    board_.WriteFile("hwtest/brackvale", image);
    EXPECT_EQ(Ask(board_, kLcd, {}), pass);
    EXPECT_TRUE(board_.ReadFile("dev/fb0") == image + std::string(4096, '\xFF'));

    board_.WriteFile("dev/fb0", "");
    const std::string longer = Pattern(kImage + 500, 13);
    board_.WriteFile("hwtest/brackvale", longer);
    EXPECT_EQ(Ask(board_, kLcd, {}), pass);
    EXPECT_TRUE(board_.ReadFile("dev/fb0") == longer.substr(0, kImage)) << "first 1,000,000 only";

    // After a full image the copy buffer held one: a short image must not show its rest.
    board_.WriteFile("hwtest/brackvale", std::string(1000, '\x5A'));
    EXPECT_EQ(Ask(board_, kLcd, Text("ignored")), pass);
    EXPECT_TRUE(board_.ReadFile("dev/fb0") ==
                std::string(1000, '\x5A') + std::string(kImage - 1000, '\0'));

    board_.WriteFile("hwtest/brackvale", "");
    EXPECT_EQ(Ask(board_, kLcd, {}), pass);
    EXPECT_TRUE(board_.ReadFile("dev/fb0") == std::string(kImage, '\0'));

    // Each diagnostic goes out with its terminating NUL.
    EXPECT_EQ(board_.CountInLog(Raw("\n\0  \0/hwtest/brackvale\0\n\0")), 4u);
    EXPECT_EQ(board_.CountInLog("LCD Test success\n"), 4u);
}

TEST_F(Lcd, MissingImageFailsAndLeavesTheScreen) {
    const std::string before = Pattern(kImage, 3);
    board_.WriteFile("dev/fb0", before);
    EXPECT_EQ(Ask(board_, kLcd, {}), FailFrame(kLcd));
    EXPECT_TRUE(board_.ReadFile("dev/fb0") == before);
    EXPECT_EQ(board_.CountInLog(Raw("Failed to open \n\0")), 1u);
    EXPECT_EQ(board_.CountInLog("LCD Test fail\n"), 1u);
}

// ---- USB stick

class Usb : public ::testing::Test {
  protected:
    void SetUp() override {
        board_.WriteFile("mnt/test.txt", "on the stick\n");
        board_.WriteFile("mnt/dir/inner.bin", "x");
        board_.WriteFile("mnt/my file.txt", "x");
        board_.WriteFile("mnt/" + kLongName, "x");
        board_.WriteFile("hwtest/secret", "board file");
        fs::create_symlink("test.txt", board_.Path("mnt/link-to-file"));
        fs::create_symlink("dir", board_.Path("mnt/link-to-dir"));
        fs::create_symlink("gone.txt", board_.Path("mnt/dangling"));
        ASSERT_TRUE(board_.Start()) << board_.AgentLog();
    }
    const std::string kLongName = std::string(100, 'L') + ".dat";
    BoardSandbox board_;
};

TEST_F(Usb, RegularFilesUnderMntPass) {
    const std::string pass = "3C 15 23 01 23 00 23 00 3E";
    const std::string fail = FailFrame(kUsb);
    struct {
        std::string name;
        const std::string &response;
    } cases[] = {
        {"test.txt", pass},
        {"dir/inner.bin", pass},
        {"link-to-file", pass},
        {"my file.txt", pass},
        {kLongName, pass},
        {"", fail},  // /mnt/ itself
        {"dir", fail},
        {"link-to-dir", fail},
        {"dangling", fail},
        {"missing.txt", fail},
        {"../hwtest/secret", fail},  // a board file, not one on the stick
        {"dir/../test.txt", fail},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("name \"" + c.name + "\"");
        EXPECT_EQ(Ask(board_, kUsb, Text(c.name)), c.response);
    }
    EXPECT_EQ(board_.CountInLog("Usb test success\n"), 5u);
    EXPECT_EQ(board_.CountInLog("Usb test fail\n"), 7u);
}

TEST_F(Usb, HostileNamesRunNothing) {
    const pid_t agent = board_.AgentPid();
    ASSERT_GT(agent, 0);
    const std::string boardRoot = "/proc/" + std::to_string(agent) + "/root";
    ASSERT_TRUE(fs::exists(boardRoot + "/opt/agent")) << "the board's own root is reachable";
    const auto before = Snapshot(board_.board());

    const char *names[] = {
        "x; touch /tmp/pwned",
        "$(touch /tmp/pwned)",
        "`touch /mnt/pwned`",
        "x || touch /hwtest/pwned #",
        "test.txt ]] && modprobe pwned; [[ -f x",
        "test.txt; modprobe pwned",
    };
    for (const char *name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Ask(board_, kUsb, Text(name)), FailFrame(kUsb));
    }
    EXPECT_FALSE(fs::exists(boardRoot + "/tmp/pwned"));
    EXPECT_TRUE(board_.ToolCalls().empty()) << board_.ToolCalls().front();
    EXPECT_EQ(Snapshot(board_.board()), before);
}

// ---- MAC address

TEST(MacAddress, ReadFromTheInterfaceAddressFile) {
    BoardSandbox board;
    board.WriteFile("sys/class/net/eth0/address", "00:1a:2b:3c:4d:5e\n");
    ASSERT_TRUE(board.Start()) << board.AgentLog();
    struct {
        const char *name;
        const char *content;  // nullptr: no address file
        const char *response;
    } cases[] = {
        {"standard", "00:1a:2b:3c:4d:5e\n",
         "3C 19 23 0D 23 00 3B 00 3A 1A 3A 2B 3A 3C 3A 4D 3A 5E 23 89 3E"},
        {"upper case", "00:1A:2B:3C:4D:5E\n",
         "3C 19 23 0D 23 00 3B 00 3A 1A 3A 2B 3A 3C 3A 4D 3A 5E 23 89 3E"},
        {"short text, rest zero", "5:1a\n",
         "3C 19 23 0D 23 00 3B 05 3A 1A 00 00 00 00 00 00 00 00 23 94 3E"},
        {"empty file still passes", "",
         "3C 19 23 0D 23 00 3B 00 00 00 00 00 00 00 00 00 00 00 23 3B 3E"},
        {"missing file", nullptr, "3C 19 23 03 23 01 3B 05 23 41 3E"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.content != nullptr) {
            board.WriteFile("sys/class/net/eth0/address", c.content);
        } else {
            fs::remove(board.Path("sys/class/net/eth0/address"));
        }
        EXPECT_EQ(Ask(board, kMac, {}), c.response);
    }
    EXPECT_EQ(board.CountInLog("MAC Test Success\n"), 4u);
    EXPECT_EQ(board.CountInLog("MAC Test fail\n"), 1u);
}

// ---- Bluetooth scan

class Bluetooth : public ::testing::Test {
  protected:
    void SetUp() override {
        board_.WriteFile("simctl/bt-devices",
                         "00:11:22:33:44:55 Kitchen Speaker\n"
                         "AA:BB:CC:DD:EE:FF Test Phone A\n"
                         "0A:0B:0C:0D:0E:0F Test Phone B\n"
                         "12:34:56:78:9A:BC " +
                             kLongName + "\n");
        ASSERT_TRUE(board_.Start()) << board_.AgentLog();
    }
    // The tools one scan request ran; clears the record for the next.
    std::vector<std::string> TakeCalls() {
        auto calls = board_.ToolCalls();
        board_.WriteFile("simctl/calls.log", "");
        return calls;
    }
    const std::string kLongName = "Bench unit " + std::string(99, 'q');
    const std::vector<std::string> kScan = {"hciconfig hci0 up", "hcitool scan"};
    BoardSandbox board_;
};

TEST_F(Bluetooth, FirstMatchingDeviceIsReported) {
    struct {
        std::string pattern;
        const char *response;
    } cases[] = {
        {"Test Phone", "3C 13 23 0D 23 00 3B AA 3A BB 3A CC 3A DD 3A EE 3A FF 23 58 3E"},
        {"Kitchen Speaker", "3C 13 23 0D 23 00 3B 00 3A 11 3A 22 3A 33 3A 44 3A 55 23 5C 3E"},
        {"56:78", "3C 13 23 0D 23 00 3B 12 3A 34 3A 56 3A 78 3A 9A 3A BC 23 C7 3E"},
        {"Phone B$", "3C 13 23 0D 23 00 3B 0A 3A 0B 3A 0C 3A 0D 3A 0E 3A 0F 23 A8 3E"},
        {kLongName, "3C 13 23 0D 23 00 3B 12 3A 34 3A 56 3A 78 3A 9A 3A BC 23 C7 3E"},
        {"Nobody here", "3C 13 23 03 23 01 3B 05 23 41 3E"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("pattern \"" + c.pattern + "\"");
        EXPECT_EQ(Ask(board_, kBluetooth, Text(c.pattern)), c.response);
        EXPECT_EQ(TakeCalls(), kScan);
    }
}

TEST_F(Bluetooth, EmptyOrHostilePatternsFindAndRunNothing) {
    EXPECT_EQ(Ask(board_, kBluetooth, {}), FailFrame(kBluetooth));
    EXPECT_TRUE(TakeCalls().empty()) << "no scan for an empty pattern";

    const pid_t agent = board_.AgentPid();
    ASSERT_GT(agent, 0);
    const std::string boardRoot = "/proc/" + std::to_string(agent) + "/root";
    const auto before = Snapshot(board_.board());
    const char *patterns[] = {
        "x; touch /tmp/pwned",
        "$(touch /tmp/pwned; echo Phone)",
        "`modprobe pwned` | modprobe pwned #",
    };
    for (const char *pattern : patterns) {
        SCOPED_TRACE(pattern);
        EXPECT_EQ(Ask(board_, kBluetooth, Text(pattern)), FailFrame(kBluetooth));
        EXPECT_EQ(TakeCalls(), kScan);
    }
    EXPECT_FALSE(fs::exists(boardRoot + "/tmp/pwned"));
    EXPECT_EQ(Snapshot(board_.board()), before);
}

TEST_F(Bluetooth, AScanThatFindsNoDeviceFailsWhateverThePattern) {
    fs::remove(board_.Path("simctl/bt-devices"));  // "Scanning ..." and nothing else
    for (const char *pattern : {"an", "Scan", "."}) {
        SCOPED_TRACE(pattern);
        EXPECT_EQ(Ask(board_, kBluetooth, Text(pattern)), FailFrame(kBluetooth));
        EXPECT_EQ(TakeCalls(), kScan);
    }
}

}  // namespace
