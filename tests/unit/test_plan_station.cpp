// The plan features a production line needs: ${NAME} variables, prompt=, confirm=, retry=,
// identity=, and keys or limits refused when the plan is read.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>

#include "Plan.h"
#include "Report.h"

namespace {

using fixture::Outcome;

fixture::Plan Parse(const std::string &text, const fixture::Variables &vars = {}) {
    fixture::Plan plan;
    std::vector<std::string> errors;
    EXPECT_TRUE(fixture::ParsePlan(text, "p", vars, plan, errors))
        << text << "\n"
        << (errors.empty() ? "" : errors.front());
    return plan;
}

std::string FirstError(const std::string &text, const fixture::Variables &vars = {}) {
    fixture::Plan plan;
    std::vector<std::string> errors;
    if (fixture::ParsePlan(text, "p", vars, plan, errors)) return "";
    return errors.front();
}

TEST(PlanStation, VariablesFillEveryLineFromTheSlot) {
    const fixture::Variables vars = {
        {"MAC", "02:00:00:00:01:0a"}, {"ADDR", "10.0.77.10"}, {"GW", "10.0.77.1"}};
    fixture::Plan plan = Parse(
        "mac expect=${MAC}\neth-static ${ADDR}/24 --gw ${GW} "
        "expect=${ADDR}\n",
        vars);
    ASSERT_EQ(plan.steps.size(), 2u);
    EXPECT_EQ(*plan.steps[0].expectation.expect, "02:00:00:00:01:0a");
    EXPECT_EQ(plan.steps[1].text, "eth-static 10.0.77.10/24 --gw 10.0.77.1");
    EXPECT_EQ(*plan.steps[1].expectation.expect, "10.0.77.10");
    // A name without a value is refused with its line, not sent as "${GW}".
    const std::string error = FirstError("version\nping ${GW}\n");
    EXPECT_NE(error.find("line 2"), std::string::npos) << error;
    EXPECT_NE(error.find("${GW}"), std::string::npos) << error;

    // A value is one word, never plan syntax, and errors never show it.
    const fixture::Variables odd = {
        {"TYPE", "RDMX retry=10"}, {"SSID", "Lab Net"}, {"PSK", "hunter22 max=1"}};
    plan = Parse("board-type expect=${TYPE}\nwifi ${SSID} --psk ${PSK}\n", odd);
    EXPECT_EQ(*plan.steps[0].expectation.expect, "RDMX retry=10");
    EXPECT_EQ(plan.steps[0].retry, 0);
    EXPECT_EQ(plan.steps[1].request.args.at(1), "Lab Net");
    EXPECT_FALSE(plan.steps[1].expectation.max);
    for (const char *line : {"volume 200 max=${PSK}\n", "wifi ${SSID} --psk ${PSK} --psk x\n"}) {
        const std::string refused = FirstError(line, odd);
        EXPECT_FALSE(refused.empty()) << line;
        EXPECT_EQ(refused.find("hunter22"), std::string::npos) << refused;
    }
    // Larger than a plan can be: refused whole.
    EXPECT_NE(FirstError(std::string(fixture::kMaxPlanFileBytes + 1, '#')).find("larger"),
              std::string::npos);
}

TEST(PlanStation, PromptConfirmRetryIdentity) {
    fixture::Plan plan = Parse(
        "touch prompt=\"Tap the panel now\" timeout_ms=15000\n"
        "lcd confirm='Colour bars on the whole screen?'\n"
        "rtc-set 2024-03-15T09:05 expect=2024-03-15T09:05 retry=2\n"
        "version identity=yes\n"
        "mac\n");
    ASSERT_EQ(plan.steps.size(), 5u);
    EXPECT_EQ(plan.steps[0].prompt, "Tap the panel now");
    EXPECT_EQ(plan.steps[0].request.timeoutMs, 15000);
    EXPECT_EQ(plan.steps[1].confirm, "Colour bars on the whole screen?");
    EXPECT_EQ(plan.steps[2].retry, 2);
    // identity=yes beats the default (the mac step).
    EXPECT_EQ(fixture::IdentityStep(plan), 3);
    EXPECT_EQ(fixture::IdentityStep(Parse("version\nmac\n")), 1);
    EXPECT_EQ(fixture::IdentityStep(Parse("version\n")), -1);
    // serial: the operator's number names the board, asked with a default question.
    fixture::Plan serial = Parse("mac\nserial\n");
    EXPECT_EQ(fixture::IdentityStep(serial), 1);
    EXPECT_TRUE(serial.steps[1].serial);
    EXPECT_FALSE(serial.steps[1].prompt.empty());
    EXPECT_NE(FirstError("serial\nmac identity=yes\n").find("line 2: a second"), std::string::npos);
}

TEST(PlanStation, RefusedKeysAndLimitsNameTheLineAndHint) {
    const struct {
        const char *line;
        const char *says;
    } cases[] = {
        {"board-type expct=TVK", "did you mean expect=?"},
        {"ping 10.0.77.1 colour=red", "unknown key 'colour'"},
        {"volume 200 min=60 max=50", "never pass"},
        {"lcd retry=11", "retry"},
        {"lcd retry=1.5", "retry"},
        {"mac identity=maybe", "identity takes yes or no"},
        {"lcd identity=yes", "no reading to name the board"},
        {"lcd prompt=", "needs the text"},
        {"serial expect=X", "serial takes only prompt="},
        {"volume 200 max=nan", "max=nan: not a finite number"},
        {"volume 200 min=1e999", "not a finite number"},
        {"touch timeout_ms=nan", "not a finite number"},
        {"haptic-stop cleanup=maybe", "cleanup takes yes or no"},
        {"lcd cleanup=yes confirm=\"Bars?\"", "runs unattended"},
    };
    for (const auto &c : cases) {
        const std::string error = FirstError(std::string("# a comment\n") + c.line + "\n");
        EXPECT_NE(error.find("line 2"), std::string::npos) << c.line << ": " << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.line << ": " << error;
    }
    EXPECT_NE(FirstError("mac identity=yes\nversion identity=yes\n").find("line 2: a second"),
              std::string::npos);
    // A quoted word, or an option's value (a passphrase may hold '='), stays an argument.
    EXPECT_EQ(Parse("usb \"a=b.txt\"\n").steps[0].request.args.back(), "a=b.txt");
    EXPECT_EQ(Parse("wifi LAB --psk pass=word1\n").steps.size(), 1u);
}

TEST(PlanStation, TodaysPlansReadAsBefore) {
    for (const char *name : {"sample.plan", "twin.plan"}) {
        std::ifstream in(std::string(TVK_SOURCE_DIR) + "/sim/plans/" + name);
        std::stringstream text;
        text << in.rdbuf();
        fixture::Plan plan;
        std::vector<std::string> errors;
        EXPECT_TRUE(fixture::ParsePlan(text.str(), name, plan, errors))
            << name << ": " << (errors.empty() ? "" : errors.front());
        EXPECT_GT(plan.steps.size(), 15u);
    }
}

// The agent's answers, in order: true a pass, false a fail response.
fixture::Transport Answers(std::vector<bool> answers, int &sent) {
    return [answers, &sent](const fixture::Request &request) {
        fixture::Exchange exchange;
        exchange.status = fixture::Status::Ok;
        exchange.attempts = 1;
        exchange.response.cmdId = request.frame[1];
        const bool pass = answers.at(static_cast<size_t>(sent++));
        exchange.response.ack = pass ? 0 : 1;
        if (!pass) exchange.response.data = {5};
        return exchange;
    };
}

TEST(PlanStation, CleanUpStepsRunWhateverEndsTheRunAndNeverDecideIt) {
    const fixture::Plan plan = Parse(
        "haptic-start 2 confirm=\"Vibrates?\"\nlcd retry=1\nhaptic-stop cleanup=yes\n"
        "wifi-stop cleanup=yes\n");
    const struct {
        const char *name;
        std::vector<bool> answers;  // the agent's, in order
        std::optional<bool> operatorSays;
        bool stopAfterFirstLcd;
        Outcome overall;
        bool stopped;
        const char *firstSummary;
        int lcdTries;
    } cases[] = {
        {"all pass", {true, true, true, true}, true, false, Outcome::Pass, false, "", 1},
        {"operator says no", {true, true, true}, false, false, Outcome::Fail, false, "said no", 0},
        {"nobody answers",
         {true, true, true},
         std::nullopt,
         false,
         Outcome::Error,
         true,
         "not answered: Vibrates?",
         0},
        {"stop between tries", {true, false, true, true}, true, true, Outcome::Fail, true, "", 1},
        {"clean-up fails", {true, true, false, false}, true, false, Outcome::Pass, false, "", 1},
    };
    for (const auto &c : cases) {
        int sent = 0, lcdTries = 0;
        bool stopping = false;
        std::vector<size_t> cleanups;
        fixture::RunOptions options;
        options.confirm = [&](size_t, const fixture::PlanStep &) { return c.operatorSays; };
        options.stop = [&] { return stopping; };
        options.onResult = [&](size_t i, const fixture::StepResult &r) {
            if (r.step->cleanup) cleanups.push_back(i);
            if (i == 1 && ++lcdTries == 1) stopping = c.stopAfterFirstLcd;
        };
        const auto results = fixture::RunPlan(plan, Answers(c.answers, sent), options);
        EXPECT_EQ(sent, static_cast<int>(c.answers.size())) << c.name;
        EXPECT_EQ(cleanups, (std::vector<size_t>{2, 3})) << c.name;
        EXPECT_EQ(fixture::OverallOutcome(results), c.overall) << c.name;
        EXPECT_EQ(fixture::Stopped(results), c.stopped) << c.name;
        EXPECT_EQ(lcdTries, c.lcdTries) << c.name;
        EXPECT_NE(results[0].result.summary.find(c.firstSummary), std::string::npos)
            << c.name << ": " << results[0].result.summary;
        const std::string xml = fixture::JUnitReport(plan, results, {"h", "t", "p"});
        EXPECT_NE(xml.find("03 haptic-stop (clean-up)"), std::string::npos) << xml;
        if (c.overall == Outcome::Pass) {
            EXPECT_EQ(xml.find("<failure"), std::string::npos) << xml;
        }
    }
}

TEST(PlanStation, RetryStoresEveryAttemptAndConfirmDecides) {
    fixture::Plan plan = Parse("lcd retry=2\naudio confirm=\"Tone?\"\nhaptic-stop\n");
    int sent = 0;
    std::vector<std::pair<size_t, int>> attempts;
    std::vector<Outcome> outcomes;
    fixture::RunOptions options;
    options.onResult = [&](size_t i, const fixture::StepResult &r) {
        attempts.emplace_back(i, r.attempt);
        outcomes.push_back(r.result.outcome);
    };
    std::vector<bool> answers;
    options.confirm = [&](size_t i, const fixture::PlanStep &step) {
        EXPECT_EQ(i, 1u);
        EXPECT_EQ(step.confirm, "Tone?");
        return !answers.empty() && answers.back();
    };
    // lcd fails once, then passes; the operator says yes to the tone.
    answers = {true};
    auto results = fixture::RunPlan(plan, Answers({false, true, true, true}, sent), options);
    EXPECT_EQ(fixture::OverallOutcome(results), Outcome::Pass);
    EXPECT_EQ(attempts, (std::vector<std::pair<size_t, int>>{{0, 1}, {0, 2}, {1, 1}, {2, 1}}));
    EXPECT_EQ(outcomes.front(), Outcome::Fail);
    EXPECT_EQ(results[0].attempt, 2);

    // Three fails use up retry=2; the run stops there.
    sent = 0;
    attempts.clear();
    results = fixture::RunPlan(plan, Answers({false, false, false}, sent), options);
    EXPECT_EQ(attempts.size(), 3u);
    EXPECT_FALSE(results[1].ran);

    // The operator's "no" fails a step the agent passed; with nobody to ask it fails too.
    answers = {false};
    sent = 0;
    results = fixture::RunPlan(plan, Answers({true, true}, sent), options);
    EXPECT_EQ(results[1].result.outcome, Outcome::Fail);
    EXPECT_NE(results[1].result.summary.find("said no"), std::string::npos);
    options.confirm = nullptr;
    sent = 0;
    results = fixture::RunPlan(plan, Answers({true, true}, sent), options);
    EXPECT_EQ(results[1].result.outcome, Outcome::Fail);

    // A serial step sends nothing; with nobody to give the number it fails too.
    const fixture::Plan serial = Parse("serial\n");
    sent = 0;
    results = fixture::RunPlan(serial, Answers({}, sent), {});
    EXPECT_EQ(sent, 0);
    EXPECT_EQ(results[0].result.outcome, Outcome::Fail);
}

}  // namespace
