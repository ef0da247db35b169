#include "Metrics.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace station {

namespace {

// A label value: backslash, double quote and line feed escaped, as the format requires.
std::string Label(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

// The shortest text that reads back as the same double: "0.1", not "0.10000000000000001".
std::string Number(double value) {
    char text[32];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}

void Head(std::ostringstream &out, const char *name, const char *type, const char *help) {
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

const Verdict kVerdicts[] = {Verdict::Pass, Verdict::Fail, Verdict::Aborted, Verdict::Error};
const SlotPhase kPhases[] = {SlotPhase::Idle, SlotPhase::Running, SlotPhase::Confirm,
                             SlotPhase::Identify, SlotPhase::Done};

}  // namespace

void Metrics::RunEnded(const std::string &slot, Verdict verdict) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++runs_[{slot, VerdictName(verdict)}];
}

void Metrics::StepEnded(const std::string &step, double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    Histogram &h = steps_[step];
    for (size_t i = 0; i < kBuckets.size(); ++i) {
        if (seconds <= kBuckets[i]) ++h.buckets[i];
    }
    ++h.count;
    h.sum += seconds;
}

std::string Metrics::Format(const std::vector<SlotView> &slots,
                            const std::vector<OutboxStatus> &outboxes, int64_t nowMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    auto runs = runs_;
    const auto steps = steps_;
    lock.unlock();
    // Every slot shows every verdict, at zero until one happens, so rates start from the start.
    for (const SlotView &slot : slots) {
        for (Verdict v : kVerdicts) runs.try_emplace({slot.name, VerdictName(v)}, 0);
    }
    std::ostringstream out;
    Head(out, "station_runs_total", "counter", "Runs ended since the station started.");
    for (const auto &[key, count] : runs) {
        out << "station_runs_total{slot=\"" << Label(key.first) << "\",verdict=\""
            << Label(key.second) << "\"} " << count << '\n';
    }
    Head(out, "station_step_duration_seconds", "histogram", "Time each step attempt took.");
    for (const auto &[step, h] : steps) {
        const std::string name = "station_step_duration_seconds";
        const std::string label = "step=\"" + Label(step) + "\"";
        for (size_t i = 0; i < kBuckets.size(); ++i) {
            out << name << "_bucket{" << label << ",le=\"" << Number(kBuckets[i]) << "\"} "
                << h.buckets[i] << '\n';
        }
        out << name << "_bucket{" << label << ",le=\"+Inf\"} " << h.count << '\n';
        out << name << "_sum{" << label << "} " << Number(h.sum) << '\n';
        out << name << "_count{" << label << "} " << h.count << '\n';
    }
    Head(out, "station_outbox_waiting", "gauge", "Entries not yet accepted by their target.");
    for (const OutboxStatus &o : outboxes) {
        out << "station_outbox_waiting{target=\"" << Label(o.target) << "\"} " << o.waiting << '\n';
    }
    Head(out, "station_slot_phase", "gauge", "1 for the phase each slot is in, 0 for the others.");
    for (const SlotView &slot : slots) {
        for (SlotPhase p : kPhases) {
            out << "station_slot_phase{slot=\"" << Label(slot.name) << "\",phase=\""
                << SlotPhaseName(p) << "\"} " << (slot.phase == p ? 1 : 0) << '\n';
        }
    }
    Head(out, "station_uptime_seconds", "gauge", "Seconds since the station started.");
    out << "station_uptime_seconds " << Number((nowMs - startedMs_) / 1000.0) << '\n';
    return out.str();
}

}  // namespace station
