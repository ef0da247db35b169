// Host steps with real programs: flashrom on its dummy programmer, a program that never ends.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "HostStep.h"

namespace {

using station::HostCommand;
using station::HostRun;
using station::RunHostCommand;

// Live (not yet reaped zombie) processes whose process group is `group`.
int LiveMembers(int64_t group) {
    int live = 0;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return -1;
    while (dirent *entry = readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // pid (comm) state ppid pgrp: comm may hold blanks, so read after its ')'.
        const size_t close = line.rfind(')');
        char state = 0;
        long ppid = 0, pgrp = 0;
        if (close == std::string::npos ||
            sscanf(line.c_str() + close + 1, " %c %ld %ld", &state, &ppid, &pgrp) != 3) {
            continue;
        }
        if (pgrp == group && state != 'Z') ++live;
    }
    closedir(proc);
    return live;
}

class HostStepTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/host-step-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Path(const std::string &name) const { return dir_ + "/" + name; }

    // flashrom on a simulated 16 MiB SPI NOR chip kept in `chip`.
    HostRun Flashrom(const std::string &action, const std::string &image) const {
        HostCommand command;
        command.argv = {"flashrom", "-p", "dummy:emulate=W25Q128FV,image=" + Path("chip.bin"),
                        action, image};
        command.timeoutMs = 120000;
        command.folder = dir_;
        return RunHostCommand(command);
    }

    std::string dir_;
};

TEST_F(HostStepTest, FlashromWritesAndVerifiesAGoodImageAndCatchesACorruptedChip) {
    std::string bytes(16 << 20, '\0');
    std::mt19937 random(21);
    for (char &c : bytes) c = static_cast<char>(random());
    std::ofstream(Path("image.bin"), std::ios::binary) << bytes;

    station::ImageDigest digest;
    std::string error;
    ASSERT_TRUE(station::DigestFile(Path("image.bin"), digest, error)) << error;
    EXPECT_EQ(digest.size, bytes.size());
    EXPECT_EQ(digest.sha256, station::Sha256Hex(bytes));

    const HostRun written = Flashrom("-w", "image.bin");
    EXPECT_TRUE(written.passed) << written.summary << "\n" << written.output;
    EXPECT_EQ(written.exitStatus, 0);
    EXPECT_NE(written.output.find("VERIFIED"), std::string::npos) << written.output;
    const HostRun verified = Flashrom("-v", "image.bin");
    EXPECT_TRUE(verified.passed) << verified.summary << "\n" << verified.output;

    {
        std::fstream chip(Path("chip.bin"), std::ios::in | std::ios::out | std::ios::binary);
        chip.seekp(0x1000);
        chip.put(static_cast<char>(~bytes[0x1000]));
    }
    const HostRun corrupted = Flashrom("-v", "image.bin");
    EXPECT_FALSE(corrupted.passed);
    EXPECT_FALSE(corrupted.timedOut);
    EXPECT_NE(corrupted.exitStatus, 0);
    EXPECT_EQ(corrupted.summary, "exit " + std::to_string(corrupted.exitStatus));
    EXPECT_NE(corrupted.output.find("FAILED at 0x00001000"), std::string::npos) << corrupted.output;
    EXPECT_LE(corrupted.output.size(), station::kHostOutputKept);
}

TEST_F(HostStepTest, AProgramThatNeverEndsIsKilledWithItsWholeGroupAtItsLimit) {
    HostCommand command;
    // A child left in the background too: the group dies, not only the leader.
    command.argv = {"sh", "-c", "sleep 600 & echo started; exec sleep 600"};
    command.timeoutMs = 300;
    const HostRun run = RunHostCommand(command);
    EXPECT_TRUE(run.started);
    EXPECT_TRUE(run.timedOut);
    EXPECT_FALSE(run.passed);
    EXPECT_EQ(run.exitStatus, -1);
    EXPECT_EQ(run.summary, "killed at its time limit (300 ms)");
    EXPECT_EQ(run.output, "started\n");
    ASSERT_GT(run.processGroup, 0);
    // The killed background child is reaped by whoever adopted it; give that a moment.
    int live = LiveMembers(run.processGroup);
    for (int i = 0; i < 100 && live != 0; ++i) {
        usleep(20000);
        live = LiveMembers(run.processGroup);
    }
    EXPECT_EQ(live, 0);
}

TEST_F(HostStepTest, VerdictsFromExitStatusOrExpectedOutput) {
    struct Case {
        std::vector<std::string> argv;
        std::optional<std::string> expect;
        bool started, passed;
        std::string summary;
    };
    const std::vector<Case> cases = {
        {{"true"}, {}, true, true, "exit 0"},
        {{"sh", "-c", "echo flash ok; exit 3"}, {}, true, false, "exit 3"},
        {{"sh", "-c", "echo Flash OK; exit 3"}, "flash ok", true, true, "exit 3"},
        {{"sh", "-c", "echo flash bad"},
         "flash ok",
         true,
         false,
         "exit 0, output lacks \"flash ok\""},
        {{"sh", "-c", "kill -TERM $$"}, {}, true, false, "killed by signal Terminated"},
        // Words reach the program as they are: nothing is expanded by a shell.
        {{"test", "$HOME", "=", "$HOME"}, {}, true, true, "exit 0"},
        {{"no-such-program-here"},
         {},
         false,
         false,
         "cannot run no-such-program-here: No such file or directory"},
    };
    for (const Case &c : cases) {
        HostCommand command;
        command.argv = c.argv;
        command.expect = c.expect;
        command.timeoutMs = 10000;
        const HostRun run = RunHostCommand(command);
        EXPECT_EQ(run.started, c.started) << c.argv.back();
        EXPECT_EQ(run.passed, c.passed) << c.argv.back();
        EXPECT_EQ(run.summary, c.summary) << c.argv.back();
        // As a plan step: a program the station cannot start is not the board's fail.
        const fixture::Result step = station::StepResultOf(run);
        const auto outcome = c.passed    ? fixture::Outcome::Pass
                             : c.started ? fixture::Outcome::Fail
                                         : fixture::Outcome::Error;
        EXPECT_EQ(step.outcome, outcome) << c.argv.back();
        EXPECT_EQ(step.reading, c.summary);
    }
    HostCommand unbounded;
    unbounded.argv = {"true"};
    EXPECT_FALSE(RunHostCommand(unbounded).started);
}

TEST_F(HostStepTest, KeepsTheEndOfALongOutput) {
    HostCommand command;
    command.argv = {"sh", "-c", "i=0; while [ $i -lt 3000 ]; do echo line $i; i=$((i+1)); done"};
    command.timeoutMs = 20000;
    const HostRun run = RunHostCommand(command);
    ASSERT_TRUE(run.passed) << run.summary;
    EXPECT_TRUE(run.truncated);
    EXPECT_EQ(run.output.size(), station::kHostOutputKept);
    EXPECT_EQ(run.output.substr(run.output.size() - 10), "line 2999\n");
    EXPECT_EQ(run.output.find("line 0\n"), std::string::npos);
}

// Wherever the cuts fall, no piece of a secret survives: the output is masked before its end
// is cut, and a batch trim keeps enough to drop what it split.
TEST_F(HostStepTest, NoCutLeavesPartOfASecret) {
    const std::string secret = "Open-Sesame-42";
    const size_t kept = station::kHostOutputKept;
    for (const size_t after : {kept - 10, kept - 1, kept, 2 * kept - 7, 2 * kept + 3, 3 * kept}) {
        HostCommand command;
        command.argv = {"sh",
                        "-c",
                        "head -c 5000 /dev/zero | tr '\\0' A; printf %s \"$1\"; "
                        "head -c \"$2\" /dev/zero | tr '\\0' B",
                        "sh",
                        secret,
                        std::to_string(after)};
        command.timeoutMs = 20000;
        command.secrets = {secret};
        const HostRun run = RunHostCommand(command);
        ASSERT_TRUE(run.passed) << run.summary;
        EXPECT_EQ(run.output.size(), kept);
        for (size_t at = 0; at + 4 <= secret.size(); ++at) {
            EXPECT_EQ(run.output.find(secret.substr(at, 4)), std::string::npos)
                << secret.substr(at, 4) << " with " << after << " bytes after it";
        }
    }
}

TEST(Sha256, StandardVectors) {
    EXPECT_EQ(station::Sha256Hex(""),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(station::Sha256Hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(station::Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    station::ImageDigest digest;
    std::string error;
    EXPECT_FALSE(station::DigestFile("/nonexistent/image.bin", digest, error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

}  // namespace
