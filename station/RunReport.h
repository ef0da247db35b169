// Reports of stored results: a JUnit file per run, and history and yield for people (text)
// and for tools (JSON, CSV).
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "StationView.h"
#include "Store.h"

namespace station {

// One test case per attempt; the board, station, slot and plan hash are suite properties.
std::string RunJUnit(const RunRow &run, const std::vector<StepRow> &steps);

enum class Format { Text, Json, Csv };

// The one JSON spelling of a run and of a yield report (camelCase, times in ms since the epoch),
// for the page's API and the command line alike.
nlohmann::json RunJson(const RunRow &run);
nlohmann::json RepairJson(const RepairRow &repair);
nlohmann::json YieldJson(const YieldReport &report);
// Board names and readings come from boards and files: bytes that are not UTF-8 are replaced
// rather than allowed to throw.
std::string DumpJson(const nlohmann::json &value, int indent = -1);

// The board's runs with what tested each, and its repairs among them.
std::string FormatHistory(const std::string &board, const std::vector<RunRow> &runs, Format format,
                          const std::vector<RepairRow> &repairs = {});
std::string FormatYield(const YieldReport &report, Format format);

// "2024-03-15" or "2024-03-15T09:05[:SS]" (UTC) into ms since the epoch; false when unreadable.
bool ParseSince(const std::string &text, int64_t &ms);
// ms since the epoch as "2024-03-15 09:05:00" (UTC).
std::string FormatTime(int64_t ms);

}  // namespace station
