// Board type, RTC, haptic and audio handlers against a recorded platform: every command they
// hand to the board, and the answers they make of what the board says back.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "FakePlatform.h"
#include "Platform.h"
#include "TVKTestApp.h"
#include "TempDir.h"
#include "TestAudio.h"
#include "TestBoardType.h"
#include "TestHapticDriver.h"
#include "TestRTC.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

class RecordedBoard : public ::testing::Test {
  protected:
    void SetUp() override {
        std::memset(&req_, 0, sizeof req_);
        std::memset(&resp_, 0, sizeof resp_);
    }
    void Request(const Bytes &data) {
        std::memset(&req_, 0, sizeof req_);
        std::memset(&resp_, 0, sizeof resp_);
        req_.length = static_cast<uint8_t>(data.size());
        if (!data.empty()) std::memcpy(req_.data, data.data(), data.size());
    }
    // ack, then the data bytes the handler counted.
    Bytes Answer() const {
        Bytes out = {resp_.ack};
        out.insert(out.end(), resp_.data, resp_.data + resp_.length);
        return out;
    }

    support::FakePlatform board_;  // what the board did and will say
    stRecvPkt req_;
    stResponsePkt resp_;
};

const Bytes kFail = {1, 5};
const Bytes kPassNoData = {0};

// ---------------------------------------------------------------- command table

TEST(DeviceACommandTable, EachIdReachesItsHandler) {
    EXPECT_EQ(FindHandler(CMD_BOARD_TYPE), &TestBoardType);
    EXPECT_EQ(FindHandler(CMD_RTC_SET), &TestRTCCurTime);
    EXPECT_EQ(FindHandler(CMD_RTC_GET), &TestRTCGetCurTime);
    EXPECT_EQ(FindHandler(CMD_HAPTIC_START), &TestHapticDriverStart);
    EXPECT_EQ(FindHandler(CMD_HAPTIC_STOP), &TestHapticDriverStop);
    EXPECT_EQ(FindHandler(CMD_AUDIO), &TestAudio);
    EXPECT_EQ(FindHandler(CMD_VOLUME_SET), &TestVolumeSet);
}

// ---------------------------------------------------------------- board type

class BoardTypeSettings : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.path().empty());
        path_ = folder_.Write("settings", "");
    }

    void Write(const std::string &content) {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out << content;
    }

    support::TempDir folder_{"tvk-settings"};
    std::string path_;
};

TEST_F(BoardTypeSettings, RulesForTheBoardTypeLine) {
    struct {
        const char *name;
        std::string content;
        int result;
        int code;  // -1: left as it was
    } cases[] = {
        {"TVK", "BOARD TYPE=TVK\n", 1, 1},
        {"RDMX", "BOARD TYPE=RDMX\n", 1, 0},
        {"no line end", "BOARD TYPE=RDMX", 1, 0},
        {"among other keys", "SERIAL=42\nBOARD TYPE=TVK\nLANG=en\n", 1, 1},
        {"hash before the key", "#BOARD TYPE=RDMX\n", 1, 0},
        {"text before the key", "name x BOARD TYPE=TVK\n", 1, 1},
        {"CRLF", "BOARD TYPE=TVK\r\n", 0, -1},
        {"trailing space", "BOARD TYPE=TVK \n", 0, -1},
        {"space after =", "BOARD TYPE= TVK\n", 0, -1},
        {"lower case word", "BOARD TYPE=tvk\n", 0, -1},
        {"lower case key", "board type=TVK\n", 0, -1},
        {"empty value", "BOARD TYPE=\n", 0, -1},
        {"8 characters", "BOARD TYPE=TVKTVKTV\n", 0, -1},
        {"word then more", "BOARD TYPE=RDMX-2\n", 0, -1},
        {"no key", "TYPE=TVK\nBOARD=TVK\n", 0, -1},
        {"empty file", "", 0, -1},
        {"last recognised wins", "BOARD TYPE=TVK\nBOARD TYPE=RDMX\n", 1, 0},
        {"last recognised wins, reversed", "BOARD TYPE=RDMX\nBOARD TYPE=TVK\n", 1, 1},
        {"later unknown value keeps the match", "BOARD TYPE=TVK\nBOARD TYPE=XYZ\n", 1, 1},
        {"unknown value then a match", "BOARD TYPE=XYZ\nBOARD TYPE=RDMX\n", 1, 0},
        // A line longer than the 511-character piece is looked at piece by piece.
        {"key in the second piece", std::string(511, 'x') + "BOARD TYPE=TVK\n", 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Write(c.content);
        int code = -1;
        EXPECT_EQ(ValidateBoardTypeFile(path_.c_str(), &code), c.result);
        EXPECT_EQ(code, c.code);
    }
}

TEST_F(BoardTypeSettings, MissingFileFailsAndLeavesTheCode) {
    std::filesystem::remove(path_);
    int code = 7;
    EXPECT_EQ(ValidateBoardTypeFile(path_.c_str(), &code), 0);
    EXPECT_EQ(code, 7);
}

// ---------------------------------------------------------------- RTC: parsing

TEST(RtcMonthNames, ExactNamesOnly) {
    const char *names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int i = 0; i < 12; ++i) {
        char text[8];
        std::snprintf(text, sizeof text, "%s", names[i]);
        EXPECT_EQ(ConvertMonthStringToDecimal(text), i + 1) << names[i];
    }
    for (const char *other : {"dec", "DEC", "December", "Ja", "Jan ", "", "13"}) {
        char text[16];
        std::snprintf(text, sizeof text, "%s", other);
        EXPECT_EQ(ConvertMonthStringToDecimal(text), 13) << '"' << other << '"';
    }
}

struct ClockCase {
    const char *name;
    const char *answer;
    int ok;
    // day, month, year, hour, minute; -1: not written
    int values[5];
};

TEST(RtcClockAnswer, ParsesTheBusyboxAndTheIsoForm) {
    const ClockCase cases[] = {
        {"busybox", "Fri Mar 15 09:05:00 2024", 1, {15, 3, 2024, 9, 5}},
        {"padded day", "Fri Mar  1 23:59:58 2024", 1, {1, 3, 2024, 23, 59}},
        {"line end", "Sat Jan  6 00:00:00 2029\n", 1, {6, 1, 2029, 0, 0}},
        {"CRLF", "Sat Jan  6 00:00:00 2029\r\n", 1, {6, 1, 2029, 0, 0}},
        {"more after the year",
         "Fri Mar 15 09:05:00 2024  0.000000 seconds",
         1,
         {15, 3, 2024, 9, 5}},
        {"unknown month name", "Fri dec 15 09:05:00 2024", 1, {15, 13, 2024, 9, 5}},
        {"iso", "2024-03-15 09:05:00.123456+00:00", 1, {15, 3, 2024, 9, 5}},
        {"iso as read (24 chars)", "2024-12-31 23:58:07.1234", 1, {31, 12, 2024, 23, 58}},
        {"iso with T", "2024-03-15T09:05:00", 1, {15, 3, 2024, 9, 5}},
        {"iso without seconds", "2024-03-15 09:05", 1, {15, 3, 2024, 9, 5}},
        {"iso month out of range", "2024-00-15 09:05:00", 1, {15, 13, 2024, 9, 5}},
        {"empty", "", 0, {-1, -1, -1, -1, -1}},
        {"blanks only", "   \n", 0, {-1, -1, -1, -1, -1}},
        {"weekday only", "Fri", 0, {-1, -1, -1, -1, -1}},
        {"no year", "Fri Mar 15 09:05:00", 0, {15, 3, -1, 9, 5}},
        {"no minute", "Fri Mar 15 09", 0, {15, 3, -1, 9, -1}},
        {"error text", "hwclock: Cannot access t", 0, {-1, 13, -1, -1, -1}},
        {"letters for the day", "Fri Mar xx 09:05:00 2024", 0, {-1, 3, -1, -1, -1}},
        {"sign in the hour", "Fri Mar 15 -9:05:00 2024", 0, {15, 3, -1, -1, -1}},
        {"junk after the year", "Fri Mar 15 09:05:00 20x4", 0, {15, 3, -1, 9, 5}},
        {"iso date only", "2024-03-15", 0, {15, 3, 2024, -1, -1}},
        {"iso broken time", "2024-03-15 09-05", 0, {15, 3, 2024, 9, -1}},
    };
    for (const ClockCase &c : cases) {
        SCOPED_TRACE(c.name);
        int v[5] = {-1, -1, -1, -1, -1};
        EXPECT_EQ(ParseHWClockAnswer(c.answer, &v[0], &v[1], &v[2], &v[3], &v[4]), c.ok);
        for (int i = 0; i < 5; ++i) EXPECT_EQ(v[i], c.values[i]) << "value " << i;
    }
}

// ---------------------------------------------------------------- RTC: commands and handlers

using RtcHandlers = RecordedBoard;

TEST_F(RtcHandlers, ChangeTimeCommandLine) {
    struct {
        const char *name;
        Bytes data;
        const char *command;
    } cases[] = {
        {"15 March 2024 09:05", {15, 3, 20, 24, 9, 5}, "date -s 202403150905 && hwclock -w"},
        {"no data", {}, "date -s 000000000000 && hwclock -w"},
        {"short request", {1, 2}, "date -s 000002010000 && hwclock -w"},
        {"byte above 99", {1, 2, 20, 100, 3, 4}, "date -s 2010002010304 && hwclock -w"},
        {"bytes 255", {255, 255, 255, 255, 255, 255}, "date -s 255255255255255255 && hwclock -w"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        board_.commands.clear();
        Request(c.data);
        EXPECT_EQ(ChangeTime(req_.data), 1);
        EXPECT_EQ(board_.commands, Lines{c.command});
    }
}

TEST_F(RtcHandlers, ChangeTimeSucceedsOnStatusZeroOnly) {
    const std::string command = "date -s 202403150905 && hwclock -w";
    for (int status : {0, 256, 512, -1, 9}) {
        board_.status[command] = status;
        Request({15, 3, 20, 24, 9, 5});
        EXPECT_EQ(ChangeTime(req_.data), status == 0 ? 1 : 0) << status;
    }
}

TEST_F(RtcHandlers, CurrentHwTimeReadsOneShortLine) {
    board_.output["hwclock --show"] = "Fri Mar 15 09:05:00 2024  0.000000 seconds\n";
    int day = -1, month = -1, year = -1, hour = -1, minute = -1;
    current_HWTime(&day, &month, &year, &hour, &minute);
    EXPECT_EQ(board_.commands, Lines{"hwclock --show"});
    EXPECT_EQ(board_.readSizes, std::vector<int>{25});
    EXPECT_EQ((std::vector<int>{day, month, year, hour, minute}),
              (std::vector<int>{15, 3, 2024, 9, 5}));
}

TEST_F(RtcHandlers, CurrentHwTimeLeavesMissingValuesUnwritten) {
    board_.output["hwclock --show"] = "Fri Mar 15 09:05\n";
    int day = -1, month = -1, year = -1, hour = -1, minute = -1;
    current_HWTime(&day, &month, &year, &hour, &minute);
    EXPECT_EQ((std::vector<int>{day, month, year, hour, minute}),
              (std::vector<int>{15, 3, -1, 9, 5}));

    board_.pipeFails = true;
    int v[5] = {-1, -1, -1, -1, -1};
    current_HWTime(&v[0], &v[1], &v[2], &v[3], &v[4]);
    EXPECT_EQ(ReadHWTime(&v[0], &v[1], &v[2], &v[3], &v[4]), 0);
    for (int x : v) EXPECT_EQ(x, -1);
}

TEST_F(RtcHandlers, SetTestAnswersWhatTheClockReadsBack) {
    // Whatever the request asked for, the read-back decides the bytes.
    board_.output["hwclock --show"] = "Sat Jan  6 23:59:58 2029  0.000000 seconds\n";
    Request({15, 3, 20, 24, 9, 5});
    TestRTCCurTime(&req_, &resp_);
    EXPECT_EQ(Answer(), (Bytes{0, 6, 1, 20, 29, 23, 59}));
    EXPECT_EQ(board_.commands, (Lines{"date -s 202403150905 && hwclock -w", "hwclock --show"}));
}

TEST_F(RtcHandlers, SetTestFails) {
    struct {
        const char *name;
        int dateStatus;
        const char *clock;
        bool pipeFails;
        Lines commands;
    } cases[] = {
        {"date refused",
         256,
         "Fri Mar 15 09:05:00 2024",
         false,
         {"date -s 202403150905 && hwclock -w"}},
        {"read-back empty", 0, "", false, {"date -s 202403150905 && hwclock -w", "hwclock --show"}},
        {"read-back garbage",
         0,
         "Fri Mar 15 09",
         false,
         {"date -s 202403150905 && hwclock -w", "hwclock --show"}},
        {"read-back pipe fails",
         0,
         "Fri Mar 15 09:05:00 2024",
         true,
         {"date -s 202403150905 && hwclock -w", "hwclock --show"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        board_.commands.clear();
        board_.status["date -s 202403150905 && hwclock -w"] = c.dateStatus;
        board_.output["hwclock --show"] = c.clock;
        board_.pipeFails = c.pipeFails;
        Request({15, 3, 20, 24, 9, 5});
        TestRTCCurTime(&req_, &resp_);
        EXPECT_EQ(Answer(), kFail);
        EXPECT_EQ(board_.commands, c.commands);
    }
}

TEST_F(RtcHandlers, GetTestAnswers) {
    struct {
        const char *name;
        const char *clock;
        bool pipeFails;
        Bytes answer;
    } cases[] = {
        {"busybox form", "Fri Mar 15 09:05:00 2024\n", false, {0, 15, 3, 20, 24, 9, 5}},
        {"padded day", "Wed Nov  1 07:00:59 1999\n", false, {0, 1, 11, 19, 99, 7, 0}},
        {"iso form", "2024-03-15 09:05:00.123456+00:00\n", false, {0, 15, 3, 20, 24, 9, 5}},
        {"unknown month", "Fri dec 15 09:05:00 2024", false, {0, 15, 13, 20, 24, 9, 5}},
        // Only 24 characters are read: a longer month word pushes the year out of reach.
        {"full month word", "Fri December 15 09:05:00 2024", false, kFail},
        {"empty answer", "", false, kFail},
        {"short answer", "Fri Mar 15", false, kFail},
        {"error text", "hwclock: can't open '/dev/misc/rtc'", false, kFail},
        {"pipe fails", "", true, kFail},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        board_.output["hwclock --show"] = c.clock;
        board_.pipeFails = c.pipeFails;
        Request({});
        TestRTCGetCurTime(&req_, &resp_);
        EXPECT_EQ(Answer(), c.answer);
    }
}

// ---------------------------------------------------------------- haptic

const char kExport[] = "echo 49 >/sys/class/gpio/export";
const char kDirection[] = "echo out >/sys/class/gpio/pioB17/direction";
const char kLineLow[] = "echo 0 >/sys/class/gpio/pioB17/value";
const char kLineHigh[] = "echo 1 >/sys/class/gpio/pioB17/value";
const char kPwmOff[] = "echo 0 > /sys/class/pwm/pwmchip0/pwm3/enable";
const char kPwmOn[] = "echo 1 > /sys/class/pwm/pwmchip0/pwm3/enable";
const char kPeriod[] = "cat /sys/class/pwm/pwmchip0/pwm3/period";

std::string Duty(long duty) {
    return "echo " + std::to_string(duty) + " > /sys/class/pwm/pwmchip0/pwm3/duty_cycle";
}

class HapticHandlers : public RecordedBoard {
  protected:
    void SetUp() override {
        RecordedBoard::SetUp();
        ReSetHapticDriverRunningState();
    }
    void TearDown() override {
        ReSetHapticDriverRunningState();
        RecordedBoard::TearDown();
    }
};

TEST_F(HapticHandlers, InitSwitchesEverythingOff) {
    SetHapticDriverRunningState();
    InitHapticDriver();
    EXPECT_EQ(board_.commands, (Lines{kExport, kDirection, kLineLow, kPwmOff}));
    EXPECT_EQ(GetHapticDriverRunningState(), 1) << "start-up leaves the run state alone";
}

TEST_F(HapticHandlers, StartWritesTheDutyOfEachLevel) {
    struct {
        const char *name;
        const char *period;
        uint8_t option;
        long duty;
    } cases[] = {
        {"full", "999\n", 1, 999},
        {"half", "999\n", 2, 499},
        {"half of even", "1000000\n", 2, 500000},
        {"zero", "999\n", 3, 0},
        {"no period text", "", 1, 0},
        {"period not a number", "abc\n", 2, 0},
        {"blanks and sign", "  +40\n", 1, 40},
        {"negative period, half", "-7\n", 2, -4},
        {"period beyond int", "99999999999\n", 1, INT_MAX},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ReSetHapticDriverRunningState();
        board_.commands.clear();
        board_.output[kPeriod] = c.period;
        Request({c.option});
        TestHapticDriverStart(&req_, &resp_);
        EXPECT_EQ(Answer(), kPassNoData);
        EXPECT_EQ(board_.commands, (Lines{kLineHigh, kPeriod, Duty(c.duty), kPwmOn}));
        EXPECT_EQ(GetHapticDriverRunningState(), 1);
    }
    EXPECT_EQ(board_.readSizes.back(), 128);
}

TEST_F(HapticHandlers, UnknownLevelTouchesNothing) {
    board_.output[kPeriod] = "999\n";
    for (const Bytes &data : {Bytes{}, Bytes{0}, Bytes{4}, Bytes{255}, Bytes{0, 2}}) {
        SCOPED_TRACE(data.empty() ? -1 : data[0]);
        Request(data);
        TestHapticDriverStart(&req_, &resp_);
        EXPECT_EQ(Answer(), kFail);
        EXPECT_EQ(GetHapticDriverRunningState(), 0);

        unsigned char direct[2] = {data.empty() ? uint8_t{0} : data[0], 2};
        EXPECT_EQ(PwmDutyCycleTest(direct), 0);
    }
    EXPECT_TRUE(board_.commands.empty()) << board_.commands.front();

    // Still stopped, so a stop is refused.
    Request({});
    TestHapticDriverStop(&req_, &resp_);
    EXPECT_EQ(Answer(), kFail);
    EXPECT_TRUE(board_.commands.empty());
}

TEST_F(HapticHandlers, StartAndStopAlternate) {
    board_.output[kPeriod] = "999\n";

    Request({});
    TestHapticDriverStop(&req_, &resp_);
    EXPECT_EQ(Answer(), kFail) << "stop while stopped";
    EXPECT_TRUE(board_.commands.empty());

    Request({3});
    TestHapticDriverStart(&req_, &resp_);
    EXPECT_EQ(Answer(), kPassNoData);

    board_.commands.clear();
    Request({1});
    TestHapticDriverStart(&req_, &resp_);
    EXPECT_EQ(Answer(), kFail) << "start while running";
    EXPECT_TRUE(board_.commands.empty());
    EXPECT_EQ(GetHapticDriverRunningState(), 1);

    Request({});
    TestHapticDriverStop(&req_, &resp_);
    EXPECT_EQ(Answer(), kPassNoData);
    EXPECT_EQ(board_.commands, (Lines{kLineLow, kPwmOff}));
    EXPECT_EQ(GetHapticDriverRunningState(), 0);

    board_.commands.clear();
    TestHapticDriverStop(&req_, &resp_);
    EXPECT_EQ(Answer(), kFail);
    EXPECT_TRUE(board_.commands.empty());
}

// ---------------------------------------------------------------- audio and volume

using AudioHandlers = RecordedBoard;

TEST_F(AudioHandlers, PlaysTheTestSoundAndPasses) {
    board_.status["aplay -d 3 /hwtest/audiotest.wav"] = 256;  // a failing player changes nothing
    Request({9, 9, 9});
    ::testing::internal::CaptureStderr();
    TestAudio(&req_, &resp_);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(board_.commands, Lines{"aplay -d 3 /hwtest/audiotest.wav"});
    EXPECT_EQ(Answer(), kPassNoData);
    const char rawText[] = "\n\0/hwtest/audiotest.wav\0\n\0aplay -d 3 /hwtest/audiotest.wav\0\n";
    const std::string raw(rawText, sizeof rawText);  // the last NUL is the array's own
    EXPECT_NE(log.find(raw), std::string::npos) << log;
    EXPECT_NE(log.find("Audio Test success\n\n"), std::string::npos) << log;
}

TEST_F(AudioHandlers, VolumeIsSetAndEchoed) {
    struct {
        Bytes data;
        const char *command;
        uint8_t echoed;
    } cases[] = {
        {{255}, "amixer set SoftVolume 255", 255},
        {{}, "amixer set SoftVolume 0", 0},
        {{128, 7}, "amixer set SoftVolume 128", 128},
        {{1}, "amixer set SoftVolume 1", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        board_.commands.clear();
        board_.status[c.command] = 256;  // a failing mixer changes nothing
        Request(c.data);
        TestVolumeSet(&req_, &resp_);
        EXPECT_EQ(board_.commands, Lines{c.command});
        EXPECT_EQ(Answer(), (Bytes{0, c.echoed}));
    }
}

// ---------------------------------------------------------------- time limits

TEST_F(AudioHandlers, AnExchangeWithATimedOutCommandAnswersFail) {
    board_.status["amixer set SoftVolume 200"] = PLATFORM_TIMED_OUT;
    const uint8_t frame[] = {0x3C, CMD_VOLUME_SET, 0x23, 1, 0x23, 200, 0x23, 200, 0x3E};
    ::testing::internal::CaptureStderr();
    DispatchFrame(frame);
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(respPkt.ack, ACK_FAIL);
    EXPECT_EQ(respPkt.data[0], ERR_CODE_TEST_FAILED);
    EXPECT_NE(log.find("command timed out after 10 s, its processes killed: amixer set "
                       "SoftVolume 200"),
              std::string::npos)
        << log;
    // The mark belongs to that exchange alone.
    board_.status.clear();
    DispatchFrame(frame);
    EXPECT_EQ(respPkt.ack, ACK_PASS);
}

// The real shell, with a limit of one second.
class RealShell : public ::testing::Test {
  protected:
    void SetUp() override { PlatformSetOps(nullptr); }
    void TearDown() override { PlatformTakeTimedOut(); }
    static double Seconds(int64_t sinceUs) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return (int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000 - sinceUs) / 1e6;
    }
    static int64_t NowUs() { return static_cast<int64_t>(Seconds(0) * 1e6); }
};

TEST_F(RealShell, CommandsWithinTheirLimitRunAsBefore) {
    EXPECT_EQ(PlatformRunCommand("exit 3", 1), 3 << 8);
    char line[8] = {};
    EXPECT_EQ(PlatformReadFirstLine("printf 'abcdefghij\\nz'", line, sizeof line, 1), 1);
    EXPECT_STREQ(line, "abcdefg");
    char empty[8] = {};
    EXPECT_EQ(PlatformReadFirstLine("true", empty, sizeof empty, 1), 1);
    EXPECT_STREQ(empty, "");
    EXPECT_FALSE(PlatformTakeTimedOut());
}

TEST_F(RealShell, AHangingCommandAndAllItStartedAreKilledAtTheLimit) {
    const support::TempDir folder("tvk-shell");
    const std::string pidFile = folder.Write("pid", "");
    const std::string command = "sleep 60 & echo $! > " + pidFile + "; echo started; wait";
    const int64_t start = NowUs();
    char line[32] = {};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(PlatformReadFirstLine(command.c_str(), line, sizeof line, 1), 0);
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_LT(Seconds(start), 3.0);
    EXPECT_STREQ(line, "") << "nothing of a killed command is used";
    EXPECT_TRUE(PlatformTakeTimedOut());
    EXPECT_NE(log.find("command timed out after 1 s"), std::string::npos) << log;

    // The background sleep was in the command's process group: it is dead (or a zombie).
    std::ifstream in(pidFile);
    int pid = 0;
    in >> pid;
    ASSERT_GT(pid, 0);
    usleep(100000);
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const size_t close = text.rfind(')');
    if (close != std::string::npos) {
        EXPECT_EQ(text.substr(close + 2, 1), "Z") << text;
    }

    EXPECT_EQ(PlatformRunCommand("sleep 60", 1), -1);
    EXPECT_LT(Seconds(start), 5.0);
    EXPECT_TRUE(PlatformTakeTimedOut());
}

}  // namespace
