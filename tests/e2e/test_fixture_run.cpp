// The fixture client and its plan runner against the simulated board: the real agent in the
// sandbox, reached through the simulator's serial device as a test station would.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "BoardHarness.h"
#include "Process.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;
using fixture::Bytes;

const std::string kSim = std::string(TVK_SOURCE_DIR) + "/sim/sim";
const std::string kSamplePlan = std::string(TVK_SOURCE_DIR) + "/sim/plans/sample.plan";

using Args = std::vector<std::string>;

struct Ran {
    int status = -1;
    std::string output;  // standard output, then standard error
};

Ran Exec(const Args &argv) {
    const support::ProcessResult r = support::RunProcess(argv, {}, 120000);
    return {r.exitCode, r.out + r.err};
}

Args operator+(Args a, const Args &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A JUnit reader's view of a report: the suite's counts, then what the test cases hold.
// Exits non-zero when the counts and the elements disagree.
const char kJUnitCheck[] = R"PY(
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
assert root.tag == "testsuites", root.tag
suites = root.findall("testsuite")
assert len(suites) == 1
s = suites[0]
cases = s.findall("testcase")
fail = sum(1 for c in cases if c.find("failure") is not None)
err = sum(1 for c in cases if c.find("error") is not None)
skip = sum(1 for c in cases if c.find("skipped") is not None)
for key, n in [("tests", len(cases)), ("failures", fail), ("errors", err), ("skipped", skip)]:
    assert int(s.get(key)) == n, (key, s.get(key), n)
    assert int(root.get(key)) == n, (key, root.get(key), n)
for c in cases:
    float(c.get("time")); assert c.get("name") and c.get("classname")
print("tests=%d failures=%d errors=%d skipped=%d" % (len(cases), fail, err, skip))
for c in cases:
    kind = [k for k in ("failure", "error", "skipped") if c.find(k) is not None]
    print(c.get("name") + ": " + (kind[0] + " " + c.find(kind[0]).get("message") if kind else "pass"))
)PY";

class FixtureRun : public ::testing::Test {
  protected:
    // One board for the suite; a board that did not come up fails every test.
    static void SetUpTestSuite() {
        folder_ = std::make_unique<support::TempDir>("tvk-fixture-run");
        dir_ = folder_->path();
        if (dir_.empty()) {
            startError_ = "no temporary folder";
            return;
        }
        Ran start = Exec(Sim() + Args{"start", "--fast", "--agent", TVK_AGENT_PATH});
        port_ = start.output.substr(0, start.output.find('\n'));
        if (start.status != 0 || port_.rfind("/dev/pts/", 0) != 0) {
            startError_ = "the simulated board did not start:\n" + start.output;
        }
    }

    void SetUp() override { ASSERT_TRUE(startError_.empty()) << startError_; }

    static void TearDownTestSuite() {
        Exec(Sim() + Args{"stop"});
        folder_.reset();
    }

    static Args Sim(const std::string &state = "sim") {
        return {"python3", kSim, "--state", dir_ + "/" + state};
    }

    static Ran Fixture(const Args &args) {
        return Exec(Args{FIXTURE_CLI_PATH, "--port", port_} + args);
    }

    static std::string WritePlan(const std::string &name, const std::string &text) {
        return folder_->Write(name + ".plan", text);
    }

    static Ran CheckJUnit(const std::string &path) {
        return Exec({"python3", folder_->Write("check_junit.py", kJUnitCheck), path});
    }

    static std::unique_ptr<support::TempDir> folder_;
    static std::string dir_;
    static std::string port_;
    static std::string startError_;
};

std::unique_ptr<support::TempDir> FixtureRun::folder_;
std::string FixtureRun::dir_;
std::string FixtureRun::port_;
std::string FixtureRun::startError_;

bool Has(const std::string &text, const std::string &needle) {
    return text.find(needle) != std::string::npos;
}

TEST_F(FixtureRun, SamplePlanPassesOnTheSimulatedBoard) {
    // The operator's tap, while the touch step waits.
    support::ChildProcess tap;
    std::string error;
    support::ChildOptions quiet;
    quiet.logPath = "/dev/null";
    ASSERT_TRUE(tap.Start(Sim() + Args{"touch", "400", "240", "--wait", "120"}, quiet, error))
        << error;
    const std::string junit = dir_ + "/sample.xml";
    Ran run = Fixture({"run", kSamplePlan, "--junit", junit});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Has(run.output, "18 steps: 18 passed, 0 failed, 0 errors, 0 not run"))
        << run.output;
    EXPECT_TRUE(Has(run.output, "touch at X 400 Y 240")) << run.output;
    EXPECT_TRUE(Has(run.output, "plan sample: PASS")) << run.output;

    Ran check = CheckJUnit(junit);
    ASSERT_EQ(check.status, 0) << check.output;
    EXPECT_TRUE(Has(check.output, "tests=18 failures=0 errors=0 skipped=0\n")) << check.output;
    EXPECT_TRUE(Has(check.output, "13 touch: pass")) << check.output;
}

TEST_F(FixtureRun, AFailingStepStopsThePlanAndIsReported) {
    const std::string plan = WritePlan("fails",
                                       "# the board says TVK\n"
                                       "version\n"
                                       "board-type expect=RDMX\n"
                                       "mac\n");
    const std::string junit = dir_ + "/fails.xml";
    Ran run = Fixture({"run", plan, "--junit", junit});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(Has(run.output, "[2/3] board-type ... FAIL  expected RDMX, got TVK")) << run.output;
    EXPECT_FALSE(Has(run.output, "[3/3]")) << "the step after a failure ran:\n" << run.output;
    EXPECT_TRUE(Has(run.output, "3 steps: 1 passed, 1 failed, 0 errors, 1 not run")) << run.output;

    Ran check = CheckJUnit(junit);
    ASSERT_EQ(check.status, 0) << check.output;
    EXPECT_TRUE(Has(check.output, "tests=3 failures=1 errors=0 skipped=1\n")) << check.output;
    EXPECT_TRUE(Has(check.output, "02 board-type: failure expected RDMX, got TVK\n"))
        << check.output;
    EXPECT_TRUE(Has(check.output, "03 mac: skipped")) << check.output;
}

TEST_F(FixtureRun, ACleanUpStepStopsTheMotorAfterAFailSoTheNextRunCanStartIt) {
    const std::string plan = WritePlan("cleanup",
                                       "haptic-start 2\n"
                                       "board-type expect=RDMX\n"
                                       "haptic-stop cleanup=yes\n");
    for (int run = 1; run <= 2; ++run) {
        Ran ran = Fixture({"run", plan});
        EXPECT_EQ(ran.status, 1) << ran.output;
        EXPECT_TRUE(Has(ran.output, "[1/3] haptic-start 2 ... PASS")) << run << "\n" << ran.output;
        EXPECT_TRUE(Has(ran.output, "[3/3] haptic-stop (clean-up) ... PASS")) << ran.output;
        EXPECT_TRUE(Has(ran.output, "3 steps: 2 passed, 1 failed")) << ran.output;
    }
}

TEST_F(FixtureRun, KeepGoingRunsEveryStepAndErrorsOutrankFailures) {
    const std::string plan = WritePlan("mixed",
                                       "usb NO-SUCH-FILE.TXT\n"
                                       "raw 3C 32 23 00 23 23 01 3E   # wrong checksum\n"
                                       "volume 200 max=100\n"
                                       "mac expect=02:00:00:00:00:10\n");
    const std::string junit = dir_ + "/mixed.xml";
    Ran run = Fixture({"run", plan, "--keep-going", "--junit", junit});
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_TRUE(Has(run.output, "[4/4] mac ... PASS")) << run.output;
    EXPECT_TRUE(Has(run.output, "the agent received a wrong checksum")) << run.output;
    EXPECT_TRUE(Has(run.output, "4 steps: 1 passed, 2 failed, 1 errors, 0 not run")) << run.output;

    Ran check = CheckJUnit(junit);
    ASSERT_EQ(check.status, 0) << check.output;
    EXPECT_TRUE(Has(check.output, "tests=4 failures=2 errors=1 skipped=0\n")) << check.output;
    EXPECT_TRUE(Has(check.output, "01 usb NO-SUCH-FILE.TXT: failure")) << check.output;
    EXPECT_TRUE(Has(check.output, "02 raw 3C 32 23 00 23 23 01 3E: error")) << check.output;
    EXPECT_TRUE(Has(check.output, "03 volume 200: failure above the limit: 200 > 100"))
        << check.output;
}

TEST_F(FixtureRun, SingleCommandsExitByTheirOutcome) {
    Ran version = Fixture({"version"});
    EXPECT_EQ(version.status, 0) << version.output;
    EXPECT_EQ(version.output, "PASS  version 5.0.0\n");

    Ran mac = Fixture({"--json", "mac"});
    EXPECT_EQ(mac.status, 0) << mac.output;
    EXPECT_TRUE(Has(mac.output, "\"address\":\"02:00:00:00:00:10\"")) << mac.output;

    Ran missing = Fixture({"usb", "NO-SUCH-FILE.TXT"});
    EXPECT_EQ(missing.status, 1) << missing.output;
    EXPECT_EQ(missing.output, "FAIL  file not on the stick\n");

    Ran bad = Fixture({"-v", "raw", "3C", "30", "23", "00", "23", "23", "01", "3E"});
    EXPECT_EQ(bad.status, 2) << bad.output;
    EXPECT_TRUE(Has(bad.output, "< 3C 30 23 03 23 01 3B 01 23 3D 3E")) << bad.output;

    // Refused before the line is touched: the agent logs no request for it.
    Ran refused = Fixture({"volume", "300"});
    EXPECT_EQ(refused.status, 2) << refused.output;
    EXPECT_TRUE(Has(refused.output, "volume: VALUE must be 0-255")) << refused.output;

    Ran badPlan = Fixture({"run", WritePlan("bad", "version\nvolume 300\n")});
    EXPECT_EQ(badPlan.status, 2) << badPlan.output;
    EXPECT_TRUE(Has(badPlan.output, "line 2: volume")) << badPlan.output;
    EXPECT_FALSE(Has(badPlan.output, "[1/")) << "a bad plan must not start";

    // Nothing reaches a path that is no line, and a report that cannot be written stops the
    // plan before its first step.
    const std::string notALine = dir_ + "/not-a-line";
    std::ofstream(notALine) << "keep\n";
    Ran file = Exec({FIXTURE_CLI_PATH, "--json", "--port", notALine, "version"});
    EXPECT_EQ(file.status, 2) << file.output;
    EXPECT_TRUE(Has(file.output, "{\"result\":\"ERROR\",\"error\":\"cannot open the line"))
        << file.output;
    EXPECT_EQ(fs::file_size(notALine), 5u) << "request frames were written into a file";
    Ran noReport = Fixture({"run", kSamplePlan, "--junit", dir_ + "/no/such/r.xml"});
    EXPECT_EQ(noReport.status, 2) << noReport.output;
    EXPECT_TRUE(Has(noReport.output, "cannot write")) << noReport.output;
    EXPECT_FALSE(Has(noReport.output, "[1/")) << noReport.output;
    Ran typo = Fixture({"--json", "versoin"});
    EXPECT_EQ(typo.output, "{\"result\":\"ERROR\",\"error\":\"unknown command 'versoin'\"}\n");

    Ran touchless = Fixture({"--timeout", "20000", "--retries", "0", "touch"});
    EXPECT_EQ(touchless.output, "FAIL  no touch within the window\n")
        << "no tap: the touch window ends in a fail";
}

TEST_F(FixtureRun, TheRelayHoldsARequestSentWhileTheAgentIsBusy) {
    fixture::Link link;
    std::string error;
    ASSERT_TRUE(link.OpenDevice(port_, error)) << error;
    // A touch test nobody taps keeps the agent away from its port for over ten seconds; the
    // station gives up on it early and sends the next request into that time.
    fixture::Exchange touch = link.SendRaw(fixture::BuildRequest(0x22, {}), 300);
    ASSERT_EQ(touch.status, fixture::Status::Timeout);
    fixture::Exchange first = link.SendRaw(fixture::BuildRequest(0x32, {}), 20000);
    ASSERT_EQ(first.status, fixture::Status::Ok) << first.error;
    EXPECT_EQ(first.response.cmdId, 0x22) << "the late answer to the touch test comes first";
    // The agent discards what waits on its port when it reopens it: only a relay that held
    // the version request back until then gets it answered.
    Bytes frame;
    ASSERT_EQ(link.ReadFrame(frame, 5000), fixture::Status::Ok) << "the version request was lost";
    EXPECT_EQ(e2e::Hex(frame), "3C 32 23 05 23 00 3B 05 00 00 23 40 3E");
}

TEST_F(FixtureRun, BoardOptionsShapeWhatTheTestsFind) {
    const Args other = Sim("other");
    Ran start = Exec(other + Args{"start", "--fast", "--agent", TVK_AGENT_PATH, "--board-type",
                                  "RDMX", "--no-usb", "--clock", "broken", "--no-bt", "--mac",
                                  "02:11:22:33:44:55"});
    ASSERT_EQ(start.status, 0) << start.output;
    std::string port = start.output.substr(0, start.output.find('\n'));
    const std::string plan = WritePlan("options",
                                       "board-type expect=RDMX\n"
                                       "mac expect=02:11:22:33:44:55\n"
                                       "usb TESTFILE.TXT\n"
                                       "rtc-set 2024-03-15T09:05\n"
                                       "bt TVK-Fixture-Beacon\n");
    Ran run = Exec({FIXTURE_CLI_PATH, "--port", port, "run", plan, "--keep-going"});
    Exec(other + Args{"stop"});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(Has(run.output, "[1/5] board-type ... PASS")) << run.output;
    EXPECT_TRUE(Has(run.output, "[2/5] mac ... PASS")) << run.output;
    EXPECT_TRUE(Has(run.output, "[3/5] usb TESTFILE.TXT ... FAIL")) << run.output;
    EXPECT_TRUE(Has(run.output, "[4/5] rtc-set 2024-03-15T09:05 ... FAIL")) << run.output;
    EXPECT_TRUE(Has(run.output, "[5/5] bt TVK-Fixture-Beacon ... FAIL")) << run.output;
}

}  // namespace
