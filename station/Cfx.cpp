#include "Cfx.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <sstream>

#include "Station.h"

namespace station {

namespace {

using Json = nlohmann::ordered_json;  // fields in the reference's order, for people reading it

const char *const kVersion = "2.1";

Json Nullable(const std::string &text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

std::string Word(const std::string &command) {
    return command.substr(0, command.find(' '));
}

std::optional<double> Number(const std::string &text) {
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str()) return std::nullopt;
    return value;
}

// "min=5 max=50" as the store keeps a step's limits.
std::optional<double> Limit(const std::string &limits, const std::string &key) {
    std::istringstream words(limits);
    std::string word;
    while (words >> word) {
        if (word.rfind(key + "=", 0) == 0) return Number(word.substr(key.size() + 1));
    }
    return std::nullopt;
}

// A failed limit reads "above the limit: 80 > 50"; the measured value is still worth sending.
std::string MeasuredText(const StepRow &step) {
    for (const char *prefix : {"above the limit: ", "below the limit: "}) {
        if (step.reading.rfind(prefix, 0) == 0) return step.reading.substr(std::strlen(prefix));
    }
    return step.reading;
}

const char *StepResult(const std::string &verdict) {
    if (verdict == "PASS") return "Passed";
    if (verdict == "FAIL") return "Failed";
    return "Error";
}

Json Numeric(const std::string &id, const std::string &name, int sequence, const char *result,
             double value, const char *units, std::optional<double> min,
             std::optional<double> max) {
    const auto limit = [](std::optional<double> v) { return v ? Json(*v) : Json(nullptr); };
    const auto limitUnits = [&](std::optional<double> v) {
        return v ? Json(units) : Json(nullptr);
    };
    return Json{{"$type", "CFX.Structures.NumericMeasurement, CFX"},
                {"UniqueIdentifier", id},
                {"MeasurementName", name},
                {"TimeRecorded", nullptr},
                {"Sequence", sequence},
                {"Result", result},
                {"CRDs", nullptr},
                {"MeasuredValue",
                 {{"Value", value},
                  {"ValueUnits", units},
                  {"ExpectedValue", nullptr},
                  {"ExpectedValueUnits", nullptr},
                  {"MinimumAcceptableValue", limit(min)},
                  {"MinimumAcceptableValueUnits", limitUnits(min)},
                  {"MaximumAcceptableValue", limit(max)},
                  {"MaximumAcceptableValueUnits", limitUnits(max)}}}};
}

// Readings the plan's commands give as numbers: ping round trips, the volume, a touch's X/Y.
Json Measurements(const StepRow &step, const std::string &testId) {
    Json out = Json::array();
    const std::string word = Word(step.command);
    const char *result = StepResult(step.verdict);
    if (step.verdict == "ERROR") return out;
    const std::string text = MeasuredText(step);
    const auto min = Limit(step.limits, "min"), max = Limit(step.limits, "max");
    if (word == "ping" || word == "wifi-ping" || word == "volume") {
        const auto value = Number(text);
        if (!value) return out;
        const bool ping = word != "volume";
        // The volume is the codec's 0-255 output level, not a unit of loudness.
        out.push_back(Numeric(CfxGuid(testId, "m0"), ping ? "round trip" : "volume", 0, result,
                              *value, ping ? "ms" : "level", min, max));
    } else if (word == "touch") {
        int x = 0, y = 0;
        if (std::sscanf(text.c_str(), "X %d Y %d", &x, &y) != 2) return out;
        // Raw controller coordinates, as the panel reports them.
        out.push_back(Numeric(CfxGuid(testId, "m0"), "X", 0, result, x, "px", {}, {}));
        out.push_back(Numeric(CfxGuid(testId, "m1"), "Y", 1, result, y, "px", {}, {}));
    }
    return out;
}

Json Test(const std::string &uid, const StepRow &step) {
    const std::string id =
        CfxGuid(uid, "test/" + std::to_string(step.index) + "/" + std::to_string(step.attempt));
    const bool failed = step.verdict == "FAIL", error = step.verdict == "ERROR";
    Json symptoms = Json::array();
    if (failed) {
        symptoms.push_back({{"UniqueIdentifier", CfxGuid(id, "symptom")},
                            {"SymptomCode", Word(step.command)},
                            {"SymptomCategory", "test step"},
                            {"Description", step.reading},
                            {"Comments", nullptr},
                            {"Status", "NewlyDiscovered"},
                            {"ComponentsOfInterest", Json::array()},
                            {"RegionOfInterest", nullptr},
                            {"Priority", 1},
                            {"RelatedMeasurements", nullptr}});
    }
    // The store keeps each step's duration, not its clock times.
    return Json{{"UniqueIdentifier", id},
                {"TestName", step.command},
                {"TestStartTime", nullptr},
                {"TestEndTime", nullptr},
                {"TestConditions", Nullable(step.limits)},
                {"TestProcedure", "step " + std::to_string(step.index)},
                {"Comments", step.attempt > 1 ? Json("attempt " + std::to_string(step.attempt))
                                              : Json(nullptr)},
                {"Result", StepResult(step.verdict)},
                {"Error", error ? Json(step.reading) : Json(nullptr)},
                {"SymptomsFound", symptoms},
                {"DefectsFound", Json::array()},
                {"Measurements", Measurements(step, id)}};
}

Json Tester(const std::string &name) {
    if (name.empty()) return nullptr;
    return Json{{"OperatorIdentifier", name},
                {"ActorType", "Human"},
                {"LastName", nullptr},
                {"FirstName", nullptr},
                {"LoginName", name}};
}

const char *UnitStatus(Verdict verdict) {
    return verdict == Verdict::Pass ? "Pass" : verdict == Verdict::Fail ? "Fail" : "Skip";
}

Json Units(const RunRow &run) {
    if (run.board.empty()) return Json::array();
    return Json::array({Json{{"UnitIdentifier", run.board},
                             {"PositionNumber", 1},
                             {"PositionName", run.slot},
                             {"X", 0.0},
                             {"Y", 0.0},
                             {"Z", nullptr},
                             {"Rotation", 0.0},
                             {"FlipX", false},
                             {"FlipY", false},
                             {"Status", UnitStatus(run.verdict)}}});
}

Json UnitsTested(const RunRecord &run, const std::vector<StepRow> &steps) {
    Json tests = Json::array();
    for (const StepRow &step : steps) tests.push_back(Test(run.uid, step));
    const Json unit{{"UnitIdentifier", run.row.board},
                    {"UnitPositionNumber", 1},
                    {"OverallResult", CfxTestResult(run.row.verdict)},
                    {"Tests", tests}};
    return Json{{"TransactionId", CfxGuid(run.uid, "transaction")},
                {"TestMethod", "FCT"},
                {"Tester", Tester(run.row.operatorName)},
                {"RecipeName", run.row.plan},
                {"RecipeRevision", run.row.planHash},
                {"SamplingInformation",
                 {{"SamplingMethod", "NoSampling"}, {"LotSize", nullptr}, {"SampleSize", nullptr}}},
                {"TestedUnits", Json::array({unit})}};
}

// The board's identity is read during the run, so WorkStarted cannot name it: the
// transaction id ties it to the UnitsTested and WorkCompleted that do.
Json WorkStarted(const RunRecord &run) {
    return Json{{"PrimaryIdentifier", nullptr},
                {"HermesIdentifier", nullptr},
                {"TransactionID", CfxGuid(run.uid, "transaction")},
                {"Lane", nullptr},
                {"UnitCount", 0},
                {"Units", Json::array()},
                {"RecipeName", run.row.plan},
                {"Revision", run.row.planHash},
                {"RelevantSurface", "Unspecified"},
                {"WorkOrderIdentifier", nullptr}};
}

Json WorkCompleted(const RunRecord &run) {
    const Json units = Units(run.row);
    return Json{{"TransactionID", CfxGuid(run.uid, "transaction")},
                {"Result", CfxWorkResult(run.row.verdict)},
                {"PrimaryIdentifier", Nullable(run.row.board)},
                {"HermesIdentifier", nullptr},
                {"UnitCount", units.size()},
                {"Units", units},
                {"PerformanceImpacts", Json::array()}};
}

CfxMessage Envelope(const std::string &id, const char *name, int64_t timeMs,
                    const std::string &handle, Json body) {
    Json envelope{{"MessageName", name},          {"Version", kVersion},
                  {"TimeStamp", CfxTime(timeMs)}, {"UniqueID", id},
                  {"Source", Nullable(handle)},   {"Target", nullptr},
                  {"RequestID", nullptr},         {"MessageBody", Json::object()}};
    Json &message = envelope["MessageBody"];
    message["$type"] = std::string(name) + ", CFX";
    for (auto &[key, value] : body.items()) message[key] = std::move(value);
    return CfxMessage{id, name, handle, timeMs, envelope.dump()};
}

}  // namespace

std::string CfxMessage::Topic() const {
    return name.substr(0, name.rfind('.'));
}

std::string CfxMessage::Subject() const {
    return source + "." + name;
}

const char *CfxMessageName(CfxKind kind) {
    switch (kind) {
        case CfxKind::WorkStarted:
            return "CFX.Production.WorkStarted";
        case CfxKind::UnitsTested:
            return "CFX.Production.TestAndInspection.UnitsTested";
        case CfxKind::WorkCompleted:
            return "CFX.Production.WorkCompleted";
    }
    return "";
}

const char *CfxTestResult(Verdict verdict) {
    switch (verdict) {
        case Verdict::Pass:
            return "Passed";
        case Verdict::Fail:
            return "Failed";
        case Verdict::Aborted:
            return "Aborted";
        case Verdict::Error:
        case Verdict::None:
            break;
    }
    return "Error";
}

const char *CfxWorkResult(Verdict verdict) {
    switch (verdict) {
        case Verdict::Pass:
        case Verdict::Fail:
            return "Completed";
        case Verdict::Aborted:
            return "Aborted";
        case Verdict::Error:
        case Verdict::None:
            break;
    }
    return "Failed";
}

std::string CfxGuid(const std::string &uid, const std::string &name) {
    // Two FNV-1a halves over differently framed text; the run's uid is already random, so
    // this only has to keep kinds apart, not resist forgery.
    const std::string a = PlanHash(uid + "\n" + name), b = PlanHash(name + "\n" + uid + "\n");
    std::string hex = a + b;
    hex[12] = '8';  // version: name-based
    hex[16] = "89ab"[std::strtol(hex.substr(16, 1).c_str(), nullptr, 16) & 3];  // RFC variant
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
           hex.substr(16, 4) + "-" + hex.substr(20, 12);
}

std::string CfxTime(int64_t ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d0000+00:00",
                  utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                  utc.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

std::string CfxTimeSpan(int64_t ms) {
    const int64_t s = ms / 1000;
    char text[96];
    if (s >= 86400) {
        std::snprintf(text, sizeof text, "%lld.%02lld:%02lld:%02lld",
                      static_cast<long long>(s / 86400), static_cast<long long>(s / 3600 % 24),
                      static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
    } else {
        std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                      static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
    }
    return text;
}

CfxMessage BuildCfx(CfxKind kind, const RunRecord &run, const std::vector<StepRow> &steps,
                    const std::string &handle) {
    const char *name = CfxMessageName(kind);
    const std::string id = CfxGuid(run.uid, name);
    switch (kind) {
        case CfxKind::WorkStarted:
            return Envelope(id, name, run.row.startedMs, handle, WorkStarted(run));
        case CfxKind::UnitsTested:
            return Envelope(id, name, run.row.endedMs, handle, UnitsTested(run, steps));
        case CfxKind::WorkCompleted:
            break;
    }
    return Envelope(id, name, run.row.endedMs, handle, WorkCompleted(run));
}

CfxMessage BuildStationState(bool up, int64_t upMs, int64_t nowMs, const std::string &handle) {
    // Up: from NST (not scheduled) to PRD (producing); down: the reverse.
    const char *off = "6000", *on = "1000";
    std::random_device random;
    char seed[40];
    std::snprintf(seed, sizeof seed, "%08x%08x%08x%08x", random(), random(), random(), random());
    Json body{{"OldState", up ? off : on},
              {"NewState", up ? on : off},
              {"OldStateDuration", up ? Json(nullptr) : Json(CfxTimeSpan(upMs))},
              {"RelatedFault", nullptr}};
    const char *name = "CFX.ResourcePerformance.StationStateChanged";
    return Envelope(CfxGuid(seed, name), name, nowMs, handle, std::move(body));
}

bool ParseCfx(const std::string &json, CfxMessage &out) {
    const Json envelope = Json::parse(json, nullptr, false);
    if (!envelope.is_object()) return false;
    const auto text = [&](const char *key) {
        const auto it = envelope.find(key);
        return it != envelope.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    out = CfxMessage{text("UniqueID"), text("MessageName"), text("Source"), 0, json};
    // The station writes its envelopes in UTC.
    tm utc{};
    const std::string when = text("TimeStamp");
    if (strptime(when.c_str(), "%Y-%m-%dT%H:%M:%S", &utc) != nullptr) {
        out.timeMs =
            static_cast<int64_t>(timegm(&utc)) * 1000 + std::atoi(when.c_str() + 20) / 10000;
    }
    return !out.id.empty() && !out.name.empty();
}

}  // namespace station
