#include "RunReport.h"

#include <ctime>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Plan.h"
#include "Report.h"

namespace station {

namespace {

std::string Fixed(double value, int digits) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(digits) << value;
    return out.str();
}

// A cell a spreadsheet would take for a formula (a scanned "=HYPERLINK(...)") gets a leading
// apostrophe, so it shows as the text it is.
std::string Csv(const std::string &field) {
    const bool formula =
        !field.empty() && std::string("=+-@\t\r").find(field[0]) != std::string::npos;
    const std::string text = formula ? "'" + field : field;
    if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string Percent(double share) {
    return Fixed(share * 100, 1) + "%";
}

nlohmann::json StatsJson(const std::vector<StepStat> &stats) {
    nlohmann::json out = nlohmann::json::array();
    for (const auto &s : stats) {
        out.push_back({{"step", s.step},
                       {"failures", s.failures},
                       {"medianSeconds", s.medianSeconds},
                       {"maxSeconds", s.maxSeconds}});
    }
    return out;
}

}  // namespace

nlohmann::json RunJson(const RunRow &r) {
    nlohmann::json images = nlohmann::json::array();
    for (const ImageRecord &i : r.images) {
        images.push_back(
            {{"step", i.step}, {"path", i.path}, {"sha256", i.sha256}, {"size", i.size}});
    }
    return {{"id", r.id},
            {"board", r.board},
            {"station", r.station},
            {"slot", r.slot},
            {"plan", r.plan},
            {"planHash", r.planHash},
            {"operator", r.operatorName},
            {"startedMs", r.startedMs},
            {"endedMs", r.endedMs},
            {"verdict", VerdictName(r.verdict)},
            {"failedStep", r.failedStep},
            {"failedReading", r.failedReading},
            {"variant", r.variant},
            {"stationVersion", r.stationVersion},
            {"agentVersion", r.agentVersion},
            {"port", r.port},
            {"images", images}};
}

nlohmann::json RepairJson(const RepairRow &r) {
    return {{"board", r.board}, {"atMs", r.atMs}, {"note", r.note}, {"operator", r.operatorName}};
}

nlohmann::json YieldJson(const YieldReport &y) {
    nlohmann::json errorsBySlot = nlohmann::json::object();
    for (const auto &[slot, count] : y.errorsBySlot) errorsBySlot[slot] = count;
    nlohmann::json variants = nlohmann::json::array();
    for (const YieldReport::Variant &v : y.variants) {
        variants.push_back({{"variant", v.name},
                            {"boards", v.boards},
                            {"firstPassBoards", v.firstPassBoards},
                            {"finalPassBoards", v.finalPassBoards},
                            {"firstPassYield", v.firstPassYield},
                            {"finalYield", v.finalYield}});
    }
    return {{"sinceMs", y.sinceMs},
            {"runs", y.runs},
            {"boards", y.boards},
            {"firstPassBoards", y.firstPassBoards},
            {"finalPassBoards", y.finalPassBoards},
            {"firstPassYield", y.firstPassYield},
            {"finalYield", y.finalYield},
            {"abortedRuns", y.abortedRuns},
            {"errorRuns", y.errorRuns},
            {"errorsBySlot", errorsBySlot},
            {"unidentifiedRuns", y.unidentifiedRuns},
            {"variants", variants},
            {"retestsAfterRepair", y.retestsAfterRepair},
            {"retestsPassed", y.retestsPassed},
            {"failuresByStep", StatsJson(y.failuresByStep)},
            {"slowestSteps", StatsJson(y.slowestSteps)}};
}

std::string DumpJson(const nlohmann::json &value, int indent) {
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string FormatTime(int64_t ms) {
    if (ms <= 0) return "";
    const time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

bool ParseSince(const std::string &text, int64_t &ms) {
    struct tm t = {};
    const char *end = strptime(text.c_str(), "%Y-%m-%d", &t);
    if (end == nullptr) return false;
    if (*end == 'T' || *end == ' ') {
        const char *rest = strptime(end + 1, "%H:%M", &t);
        if (rest == nullptr) return false;
        if (*rest == ':') rest = strptime(rest + 1, "%S", &t);
        end = rest;
    }
    if (end == nullptr || *end != '\0') return false;
    ms = static_cast<int64_t>(timegm(&t)) * 1000;
    return true;
}

std::string RunJUnit(const RunRow &run, const std::vector<StepRow> &steps) {
    using Kind = fixture::JUnitCase::Kind;
    fixture::JUnitSuite suite{"station", run.plan, FormatTime(run.startedMs), "", {}, {}};
    suite.properties = {{"board", run.board},
                        {"station", run.station},
                        {"slot", run.slot},
                        {"plan", run.plan},
                        {"plan_hash", run.planHash},
                        {"run", std::to_string(run.id)},
                        {"operator", run.operatorName},
                        {"verdict", VerdictName(run.verdict)},
                        {"variant", run.variant},
                        {"station_version", run.stationVersion},
                        {"agent_version", run.agentVersion},
                        {"port", run.port}};
    for (const ImageRecord &image : run.images) {
        suite.properties.push_back(
            {"image_step_" + std::to_string(image.step),
             image.path + " sha256 " + image.sha256 + " size " + std::to_string(image.size)});
    }
    bool errorShown = false;
    for (const StepRow &s : steps) {
        char number[16];
        snprintf(number, sizeof number, "%02d ", s.index);
        fixture::JUnitCase c;
        c.name = number + s.command;
        if (s.attempt > 1) c.name += " (try " + std::to_string(s.attempt) + ")";
        c.seconds = s.seconds;
        if (s.verdict != "PASS") {
            c.kind = s.verdict == "FAIL" ? Kind::Failure : Kind::Error;
            c.message = s.reading;
            c.detail = "request " + s.request + "\nresponse " + s.response;
        }
        errorShown = errorShown || c.kind == Kind::Error;
        c.out = s.reading + "\nrequest  " + s.request + "\nresponse " + s.response;
        suite.cases.push_back(std::move(c));
    }
    // A run the station could not test is an error of its own, even when no step says so.
    if (run.verdict == Verdict::Error && !errorShown) {
        fixture::JUnitCase c;
        c.name = run.failedStep.empty() ? "run" : run.failedStep;
        c.kind = Kind::Error;
        c.message = run.failedReading;
        c.out = run.failedReading;
        suite.cases.push_back(std::move(c));
    }
    return fixture::JUnitXml(suite);
}

namespace {

// A run's lines in the text history: the run, then what tested the board.
void RunText(std::ostream &out, const RunRow &r) {
    const auto shown = [](const std::string &text) { return text.empty() ? "-" : text; };
    out << "  #" << r.id << "  " << FormatTime(r.startedMs) << "  " << r.station << '/' << r.slot
        << "  " << r.plan << " (" << r.planHash << ")  "
        << (r.verdict == Verdict::None ? "running" : VerdictName(r.verdict));
    if (!r.failedStep.empty()) out << "  at " << r.failedStep << ": " << r.failedReading;
    out << "\n      variant " << shown(r.variant) << ", station " << shown(r.stationVersion)
        << ", agent " << shown(r.agentVersion) << ", port " << shown(r.port) << ", operator "
        << shown(r.operatorName) << '\n';
    for (const ImageRecord &i : r.images) {
        out << "      image (step " << i.step << ") " << i.path << "  sha256 " << i.sha256 << "  "
            << i.size << " bytes\n";
    }
}

}  // namespace

std::string FormatHistory(const std::string &board, const std::vector<RunRow> &runs, Format format,
                          const std::vector<RepairRow> &repairs) {
    std::ostringstream out;
    if (format == Format::Json) {
        nlohmann::json list = nlohmann::json::array();
        nlohmann::json repaired = nlohmann::json::array();
        for (const RunRow &r : runs) list.push_back(RunJson(r));
        for (const RepairRow &r : repairs) repaired.push_back(RepairJson(r));
        out << DumpJson({{"board", board}, {"runs", list}, {"repairs", repaired}}, 1) << '\n';
    } else if (format == Format::Csv) {
        out << "run,board,station,slot,plan,plan_hash,operator,started,ended,verdict,failed_step,"
               "failed_reading,variant,station_version,agent_version,port\n";
        for (const RunRow &r : runs) {
            out << r.id << ',' << Csv(r.board) << ',' << Csv(r.station) << ',' << Csv(r.slot) << ','
                << Csv(r.plan) << ',' << r.planHash << ',' << Csv(r.operatorName) << ','
                << FormatTime(r.startedMs) << ',' << FormatTime(r.endedMs) << ','
                << VerdictName(r.verdict) << ',' << Csv(r.failedStep) << ',' << Csv(r.failedReading)
                << ',' << Csv(r.variant) << ',' << Csv(r.stationVersion) << ','
                << Csv(r.agentVersion) << ',' << Csv(r.port) << '\n';
        }
    } else {
        out << "board " << board << ": " << runs.size() << (runs.size() == 1 ? " run" : " runs")
            << '\n';
        size_t next = 0;  // repairs and runs in time order
        const auto repairsUntil = [&](int64_t ms) {
            for (; next < repairs.size() && repairs[next].atMs < ms; ++next) {
                const RepairRow &p = repairs[next];
                out << "  repair  " << FormatTime(p.atMs) << "  " << p.note << "  ("
                    << (p.operatorName.empty() ? "-" : p.operatorName) << ")\n";
            }
        };
        for (const RunRow &r : runs) {
            repairsUntil(r.startedMs);
            RunText(out, r);
        }
        repairsUntil(INT64_MAX);
    }
    return out.str();
}

std::string FormatYield(const YieldReport &y, Format format) {
    std::ostringstream out;
    if (format == Format::Json) {
        out << DumpJson(YieldJson(y), 1) << '\n';
    } else if (format == Format::Csv) {
        out << "section,step,value,failures,median_seconds,max_seconds\n";
        out << "runs,," << y.runs << ",,,\nboards,," << y.boards << ",,,\n";
        out << "first_pass_yield,," << Fixed(y.firstPassYield, 4) << ",,,\n";
        out << "final_yield,," << Fixed(y.finalYield, 4) << ",,,\n";
        out << "aborted_runs,," << y.abortedRuns << ",,,\nerror_runs,," << y.errorRuns
            << ",,,\nunidentified_runs,," << y.unidentifiedRuns << ",,,\n";
        for (const auto &[slot, count] : y.errorsBySlot)
            out << "station_errors," << Csv(slot) << ',' << count << ",,,\n";
        for (const StepStat &s : y.failuresByStep) {
            out << "failures," << Csv(s.step) << ",," << s.failures << ','
                << Fixed(s.medianSeconds, 3) << ',' << Fixed(s.maxSeconds, 3) << '\n';
        }
        for (const StepStat &s : y.slowestSteps) {
            out << "slowest," << Csv(s.step) << ",," << s.failures << ','
                << Fixed(s.medianSeconds, 3) << ',' << Fixed(s.maxSeconds, 3) << '\n';
        }
    } else {
        out << "yield" << (y.sinceMs > 0 ? " since " + FormatTime(y.sinceMs) : "") << ": " << y.runs
            << " runs, " << y.boards << " boards\n";
        out << "  first-pass yield " << Percent(y.firstPassYield) << " (" << y.firstPassBoards
            << "/" << y.boards << ")\n";
        out << "  final yield      " << Percent(y.finalYield) << " (" << y.finalPassBoards << "/"
            << y.boards << ")\n";
        for (const YieldReport::Variant &v : y.variants) {
            out << "  " << v.name << ": first-pass " << Percent(v.firstPassYield) << " ("
                << v.firstPassBoards << "/" << v.boards << "), final " << Percent(v.finalYield)
                << " (" << v.finalPassBoards << "/" << v.boards << ")\n";
        }
        if (y.retestsAfterRepair > 0) {
            out << "  retests after repair: " << y.retestsPassed << "/" << y.retestsAfterRepair
                << " passed\n";
        }
        // Runs that are no board's result, so the figures above still add up.
        out << "  apart: " << y.abortedRuns << " aborted, " << y.unidentifiedRuns
            << " unidentified, " << y.errorRuns << " station errors";
        const char *separator = " (";
        for (const auto &[slot, count] : y.errorsBySlot) {
            out << separator << "slot " << slot << ": " << count;
            separator = ", ";
        }
        out << (y.errorsBySlot.empty() ? "\n" : ")\n");
        out << "failures by step:" << (y.failuresByStep.empty() ? " none" : "") << '\n';
        for (const StepStat &s : y.failuresByStep) {
            out << "  " << std::left << std::setw(40) << s.step << std::right << std::setw(4)
                << s.failures << '\n';
        }
        out << "slowest steps (median, max):\n";
        for (const StepStat &s : y.slowestSteps) {
            out << "  " << std::left << std::setw(40) << s.step << std::right << std::setw(8)
                << Fixed(s.medianSeconds, 2) << " s" << std::setw(8) << Fixed(s.maxSeconds, 2)
                << " s\n";
        }
    }
    return out.str();
}

}  // namespace station
