// Board type, RTC, haptic, audio and volume through the real agent on the simulated board:
// the frames on the serial line, the board tools it ran and the sysfs values it left behind.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BoardHarness.h"

namespace {

using e2e::BoardSandbox;
using fixture::Bytes;
using fixture::Status;
using Lines = std::vector<std::string>;

constexpr uint8_t kBoardType = 0x30;
constexpr uint8_t kRtcSet = 0x12;
constexpr uint8_t kRtcGet = 0x14;
constexpr uint8_t kHapticStart = 0x21;
constexpr uint8_t kHapticStop = 0x29;
constexpr uint8_t kAudio = 0x20;
constexpr uint8_t kVolume = 0x31;

// The whole response frame as hex, or the reason there was none.
std::string Ask(BoardSandbox &board, uint8_t id, const Bytes &data = {}, int timeoutMs = 3000) {
    auto got = board.Request(id, data, timeoutMs);
    if (got.status != Status::Ok) {
        return std::string("no answer: ") + fixture::StatusName(got.status) + " " + got.error;
    }
    return e2e::Hex(got.response.raw);
}

void ClearCalls(BoardSandbox &board) {
    board.WriteFile("simctl/calls.log", "");
}

void Unscript(BoardSandbox &board, const std::string &tool) {
    std::filesystem::remove(board.Path("simctl/" + tool + ".out"));
    std::filesystem::remove(board.Path("simctl/" + tool + ".rc"));
}

// ---------------------------------------------------------------- board type

TEST(BoardTypeOnBoard, AnswersFromTheSettingsFile) {
    BoardSandbox board;
    ASSERT_TRUE(board.Start()) << board.AgentLog();
    const char *kTvk = "3C 30 23 03 23 00 3B 01 23 3C 3E";
    const char *kRdmx = "3C 30 23 03 23 00 3B 00 23 3B 3E";
    const char *kFail = "3C 30 23 03 23 01 3B 05 23 41 3E";
    struct {
        const char *name;
        const char *settings;  // nullptr: no settings file
        const char *response;
    } cases[] = {
        {"TVK", "BOARD TYPE=TVK\n", kTvk},
        {"RDMX", "SERIAL=1234\nBOARD TYPE=RDMX\n", kRdmx},
        {"missing file", nullptr, kFail},
        {"unrecognised word", "BOARD TYPE=XYZ\n", kFail},
        {"no key", "SERIAL=1234\nTYPE=TVK\n", kFail},
        {"CRLF line", "BOARD TYPE=TVK\r\n", kFail},
        {"last recognised wins", "BOARD TYPE=TVK\nBOARD TYPE=RDMX\n", kRdmx},
        {"last recognised wins, reversed", "BOARD TYPE=RDMX\nBOARD TYPE=TVK\n", kTvk},
        {"later unknown keeps the match", "BOARD TYPE=TVK\nBOARD TYPE=XYZ\n", kTvk},
        {"key after other text", "# BOARD TYPE=RDMX\n", kRdmx},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(board.Path("hwtest/conf_settings.ini"));
        if (c.settings != nullptr) board.WriteFile("hwtest/conf_settings.ini", c.settings);
        EXPECT_EQ(Ask(board, kBoardType), c.response);
    }
    // Request data is not looked at.
    board.WriteFile("hwtest/conf_settings.ini", "BOARD TYPE=TVK\n");
    EXPECT_EQ(Ask(board, kBoardType, {1, 2, 3}), "3C 30 23 03 23 00 3B 01 23 3C 3E");

    EXPECT_GE(board.CountInLog("device type is  found in the file devicetype:RDMX\n\n"), 1u);
    EXPECT_GE(board.CountInLog("Board type checking test success\n"), 1u);
    EXPECT_GE(board.CountInLog("Board type checking test fail\n\n"), 1u);
    EXPECT_TRUE(board.ToolCalls().empty()) << "the file is read, no tool runs";
}

// ---------------------------------------------------------------- RTC

class RtcOnBoard : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(board_.Start()) << board_.AgentLog();
        ClearCalls(board_);
    }
    BoardSandbox board_;
};

TEST_F(RtcOnBoard, SetRunsDateThenHwclockAndReportsTheClock) {
    EXPECT_EQ(Ask(board_, kRtcSet, {15, 3, 20, 24, 9, 5}),
              "3C 12 23 08 23 00 3B 0F 03 14 18 09 05 23 87 3E");
    EXPECT_EQ(board_.ToolCalls(), (Lines{"date -s 202403150905", "hwclock -w", "hwclock --show"}));
    EXPECT_EQ(board_.CountInLog("Command date -s 202403150905 && hwclock -w \n\n"), 1u);
    EXPECT_EQ(board_.CountInLog("set rtc test success\n\n"), 1u);

    // The hardware clock keeps what was set.
    EXPECT_EQ(Ask(board_, kRtcGet), "3C 14 23 08 23 00 3B 0F 03 14 18 09 05 23 87 3E");
    EXPECT_EQ(board_.CountInLog("Get rtc test success\n"), 1u);
}

TEST_F(RtcOnBoard, SetAnswersWhatTheClockReadsBack) {
    struct {
        const char *name;
        const char *answer;
        const char *response;
    } cases[] = {
        // The agent reports the clock, not the request.
        {"another time", "Sat Jan  6 23:59:58 2029  0.000000 seconds\n",
         "3C 12 23 08 23 00 3B 06 01 14 1D 17 3B 23 C5 3E"},
        {"written, but nothing usable read back", "", "3C 12 23 03 23 01 3B 05 23 41 3E"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ClearCalls(board_);
        board_.ScriptTool("hwclock", c.answer);
        EXPECT_EQ(Ask(board_, kRtcSet, {15, 3, 20, 24, 9, 5}), c.response);
        EXPECT_EQ(board_.ToolCalls(),
                  (Lines{"date -s 202403150905", "hwclock -w", "hwclock --show"}));
    }
}

TEST_F(RtcOnBoard, SetFails) {
    struct {
        const char *name;
        Bytes request;
        bool brokenClock;
        Lines calls;
    } cases[] = {
        // Month 13: date refuses it, so the hardware clock is not written.
        {"date refuses", {15, 13, 20, 24, 9, 5}, false, {"date -s 202413150905"}},
        {"31 February", {31, 2, 20, 24, 9, 5}, false, {"date -s 202402310905"}},
        {"clock cannot be written",
         {15, 3, 20, 24, 9, 5},
         true,
         {"date -s 202403150905", "hwclock -w"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ClearCalls(board_);
        std::filesystem::remove(board_.Path("simctl/rtc-broken"));
        if (c.brokenClock) board_.WriteFile("simctl/rtc-broken", "");
        EXPECT_EQ(Ask(board_, kRtcSet, c.request), "3C 12 23 03 23 01 3B 05 23 41 3E");
        EXPECT_EQ(board_.ToolCalls(), c.calls);
    }
    EXPECT_EQ(board_.CountInLog("set rtc test fail\n\n"), 3u);
}

TEST_F(RtcOnBoard, GetReportsTheClockOrFails) {
    const char *kFail = "3C 14 23 03 23 01 3B 05 23 41 3E";
    struct {
        const char *name;
        const char *answer;  // nullptr: the stand-in's own clock
        int exitCode;
        bool brokenClock;
        const char *response;
    } cases[] = {
        {"busybox form, padded day", "Wed Nov  1 07:00:59 1999  0.000000 seconds\n", 0, false,
         "3C 14 23 08 23 00 3B 01 0B 13 63 07 00 23 C4 3E"},
        {"iso form", "2024-03-15 09:05:00.123456+00:00\n", 0, false,
         "3C 14 23 08 23 00 3B 0F 03 14 18 09 05 23 87 3E"},
        {"unknown month name", "Fri dec 15 09:05:00 2024\n", 0, false,
         "3C 14 23 08 23 00 3B 0F 0D 14 18 09 05 23 91 3E"},
        {"broken clock", nullptr, 0, true, kFail},
        {"empty answer", "", 1, false, kFail},
        {"short answer", "Fri Mar 15 09:05\n", 0, false, kFail},
        {"error text", "hwclock: select() to /dev/rtc to wait for clock tick timed out\n", 1, false,
         kFail},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ClearCalls(board_);
        Unscript(board_, "hwclock");
        std::filesystem::remove(board_.Path("simctl/rtc-broken"));
        if (c.answer != nullptr) board_.ScriptTool("hwclock", c.answer, c.exitCode);
        if (c.brokenClock) board_.WriteFile("simctl/rtc-broken", "");
        EXPECT_EQ(Ask(board_, kRtcGet, {1, 2, 3}), c.response);
        EXPECT_EQ(board_.ToolCalls(), Lines{"hwclock --show"});
    }
}

// ---------------------------------------------------------------- haptic

const char kExport[] = "sys/class/gpio/export";
const char kDirection[] = "sys/class/gpio/pioB17/direction";
const char kValue[] = "sys/class/gpio/pioB17/value";
const char kPeriod[] = "sys/class/pwm/pwmchip0/pwm3/period";
const char kDuty[] = "sys/class/pwm/pwmchip0/pwm3/duty_cycle";
const char kEnable[] = "sys/class/pwm/pwmchip0/pwm3/enable";

const char kStartPass[] = "3C 21 23 01 23 00 23 00 3E";
const char kStartFail[] = "3C 21 23 03 23 01 3B 05 23 41 3E";
const char kStopPass[] = "3C 29 23 01 23 00 23 00 3E";
const char kStopFail[] = "3C 29 23 03 23 01 3B 05 23 41 3E";

class HapticOnBoard : public ::testing::Test {
  protected:
    void SetUp() override {
        // Whatever the hardware held before the agent started.
        for (const char *file : {kExport, kDirection, kValue, kDuty, kEnable}) Mark(file);
        board_.WriteFile(kPeriod, "999\n");
        ASSERT_TRUE(board_.Start()) << board_.AgentLog();
    }
    void Mark(const char *file) { board_.WriteFile(file, "untouched\n"); }
    std::string Read(const char *file) { return board_.ReadFile(file); }

    BoardSandbox board_;
};

TEST_F(HapticOnBoard, StartUpSwitchesTheActuatorOff) {
    EXPECT_EQ(Read(kExport), "49\n");
    EXPECT_EQ(Read(kDirection), "out\n");
    EXPECT_EQ(Read(kValue), "0\n");
    EXPECT_EQ(Read(kEnable), "0\n");
    EXPECT_EQ(Read(kDuty), "untouched\n");
    EXPECT_EQ(Read(kPeriod), "999\n") << "the period is never written";

    // Start-up left the state stopped: a stop is refused and touches nothing.
    Mark(kValue);
    Mark(kEnable);
    EXPECT_EQ(Ask(board_, kHapticStop), kStopFail);
    EXPECT_EQ(Read(kValue), "untouched\n");
    EXPECT_EQ(Read(kEnable), "untouched\n");
    EXPECT_EQ(board_.CountInLog("Haptic driver not started you first enable the driver before "
                                "execture the test \n\n"),
              1u);
}

TEST_F(HapticOnBoard, StartAndStopAlternateAtEachLevel) {
    struct {
        uint8_t option;
        const char *duty;
    } levels[] = {{2, "499\n"}, {1, "999\n"}, {3, "0\n"}};
    for (const auto &level : levels) {
        SCOPED_TRACE(static_cast<int>(level.option));
        Mark(kDuty);
        EXPECT_EQ(Ask(board_, kHapticStart, {level.option}), kStartPass);
        EXPECT_EQ(Read(kValue), "1\n");
        EXPECT_EQ(Read(kDuty), level.duty);
        EXPECT_EQ(Read(kEnable), "1\n");

        // Running: a second start is refused without touching the hardware.
        for (const char *file : {kValue, kDuty, kEnable}) Mark(file);
        EXPECT_EQ(Ask(board_, kHapticStart, {1}), kStartFail);
        for (const char *file : {kValue, kDuty, kEnable}) EXPECT_EQ(Read(file), "untouched\n");

        EXPECT_EQ(Ask(board_, kHapticStop), kStopPass);
        EXPECT_EQ(Read(kValue), "0\n");
        EXPECT_EQ(Read(kEnable), "0\n");
        EXPECT_EQ(Read(kDuty), "untouched\n");
        EXPECT_EQ(Ask(board_, kHapticStop), kStopFail);
    }
    EXPECT_EQ(board_.CountInLog("Haptic test start success\n"), 3u);
    EXPECT_EQ(board_.CountInLog("Haptic driver stop successfully\n\n"), 3u);
    EXPECT_EQ(board_.CountInLog("Already Haptic driver enabled you must to disable the driver "
                                "before execture the test\n\n"),
              3u);
}

TEST_F(HapticOnBoard, UnknownLevelIsRefusedAndTouchesNothing) {
    for (const char *file : {kValue, kDuty, kEnable}) Mark(file);
    for (const Bytes &request : {Bytes{}, Bytes{0}, Bytes{4}, Bytes{0xFF, 2}}) {
        SCOPED_TRACE(e2e::Hex(request));
        EXPECT_EQ(Ask(board_, kHapticStart, request), kStartFail);
        for (const char *file : {kValue, kDuty, kEnable}) EXPECT_EQ(Read(file), "untouched\n");
        // Still stopped.
        EXPECT_EQ(Ask(board_, kHapticStop), kStopFail);
    }
    EXPECT_EQ(board_.CountInLog("Haptic test fail\n\n"), 4u);
    // And a valid level afterwards still starts it.
    EXPECT_EQ(Ask(board_, kHapticStart, {2}), kStartPass);
    EXPECT_EQ(Read(kDuty), "499\n");
}

// ---------------------------------------------------------------- audio and volume

class AudioOnBoard : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(board_.Start()) << board_.AgentLog();
        ClearCalls(board_);
    }
    BoardSandbox board_;
};

TEST_F(AudioOnBoard, PlaysTheTestSoundAndPasses) {
    const char *kPass = "3C 20 23 01 23 00 23 00 3E";
    EXPECT_EQ(Ask(board_, kAudio, {7, 7}), kPass);
    EXPECT_EQ(board_.ToolCalls(), Lines{"aplay -d 3 /hwtest/audiotest.wav"});
    EXPECT_EQ(board_.CountInLog("Audio Test success\n\n"), 1u);
    const char raw[] = "\n\0aplay -d 3 /hwtest/audiotest.wav\0\n";
    EXPECT_EQ(board_.CountInLog(std::string(raw, sizeof raw)), 1u);

    // A player that fails changes nothing.
    ClearCalls(board_);
    board_.ScriptTool("aplay", "aplay: main:831: audio open error: No such file or directory\n", 1);
    EXPECT_EQ(Ask(board_, kAudio), kPass);
    EXPECT_EQ(board_.ToolCalls(), Lines{"aplay -d 3 /hwtest/audiotest.wav"});
}

TEST_F(AudioOnBoard, AnswersOnlyAfterThePlayerEnded) {
    // A player on the board's own PATH that takes its time.
    board_.WriteFile("bin/aplay",
                     "#!/bin/bash\n"
                     "echo \"aplay $*\" >> /run/sim/calls.log\n"
                     "sleep 1\n"
                     "echo 'aplay ended' >> /run/sim/calls.log\n");
    std::filesystem::permissions(board_.Path("bin/aplay"), std::filesystem::perms::owner_all);
    EXPECT_EQ(Ask(board_, kAudio, {}, 5000), "3C 20 23 01 23 00 23 00 3E");
    EXPECT_EQ(board_.ToolCalls(), (Lines{"aplay -d 3 /hwtest/audiotest.wav", "aplay ended"}));
}

TEST_F(AudioOnBoard, VolumeIsSetAndEchoed) {
    struct {
        Bytes request;
        int mixerExit;
        const char *call;
        const char *response;
    } cases[] = {
        {{255}, 0, "amixer set SoftVolume 255", "3C 31 23 03 23 00 3B FF 23 3A 3E"},
        {{}, 0, "amixer set SoftVolume 0", "3C 31 23 03 23 00 3B 00 23 3B 3E"},
        {{100, 9}, 0, "amixer set SoftVolume 100", "3C 31 23 03 23 00 3B 64 23 9F 3E"},
        // No such control on this board: the volume test still passes.
        {{255}, 1, "amixer set SoftVolume 255", "3C 31 23 03 23 00 3B FF 23 3A 3E"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.call);
        ClearCalls(board_);
        board_.ScriptTool("amixer", "", c.mixerExit);
        EXPECT_EQ(Ask(board_, kVolume, c.request), c.response);
        EXPECT_EQ(board_.ToolCalls(), Lines{c.call});
    }
    EXPECT_EQ(board_.CountInLog("Volume Test success\n\n"), 4u);
}

// ---------------------------------------------------------------- a tool that never returns

TEST_F(AudioOnBoard, AToolThatNeverReturnsIsKilledAtItsLimitAndTheTestFails) {
    board_.WriteFile("simctl/amixer.hang", "");
    const int64_t start = fixture::NowUs();
    auto got = board_.link().Transact(fixture::BuildRequest(kVolume, {200}), 20000, 0);
    const double seconds = static_cast<double>(fixture::NowUs() - start) / 1e6;
    ASSERT_EQ(got.status, Status::Ok) << got.error << "\n" << board_.AgentLog();
    EXPECT_EQ(e2e::Hex(got.response.raw), "3C 31 23 03 23 01 3B 05 23 41 3E");
    EXPECT_GE(seconds, 9.5);
    EXPECT_LT(seconds, 15.0) << "the 10 s limit of an ordinary command";
    EXPECT_EQ(board_.CountInLog("command timed out after 10 s, its processes killed: amixer set "
                                "SoftVolume 200"),
              1u);
    // The tool's whole process group is gone: its heartbeat has stopped.
    const std::string beats = board_.ReadFile("simctl/amixer.hung");
    usleep(600000);
    EXPECT_EQ(board_.ReadFile("simctl/amixer.hung"), beats);

    // The next request is answered at once.
    EXPECT_EQ(Ask(board_, 0x32), "3C 32 23 05 23 00 3B 05 00 00 23 40 3E");
}

}  // namespace
