// The station file (TOML): the station's name, its plan, its slots and their variables, the
// results store and the operator page.
#pragma once

#include <string>
#include <vector>

#include "CfxOptions.h"
#include "Plan.h"
#include "Web.h"

namespace station {

struct SlotConfig {
    std::string name;
    std::string port;
    fixture::Variables vars;  // the slot's own; they win over the station's
    // Run (no shell, in the station file's folder) when a step with prompt= starts: a
    // simulated operator, e.g. sim/sim touch.
    std::vector<std::string> onPrompt;
};

// One board type the line builds: its plan runs after the station's (the identify section).
struct VariantConfig {
    std::string name;  // matched against the board-type reading, without regard to case
    std::string planPath;
    fixture::Variables vars;  // win over the station's; a slot's win over these
};

struct StationConfig {
    std::string path;  // the station file; relative paths in it are taken from its folder
    std::string name;
    std::string planPath;
    std::string operatorName;
    fixture::Variables vars;
    // Variables (from any level) whose values are never shown: masked in step texts and in
    // what host steps print.
    std::vector<std::string> secrets;
    std::string sqlitePath;
    std::string postgres;  // libpq connection string; empty: SQLite only
    std::string junitDir;  // a JUnit file per run (default: junit/ beside the store); empty: none
    bool web = false;      // the file has a [web] table
    WebOptions webOptions;
    CfxOptions cfx;  // [cfx]; cfx.amqp.broker empty: nothing goes to a message bus
    std::vector<SlotConfig> slots;
    // Empty: the plan is the whole run. Else it identifies the board (its identity step and
    // board-type) and the matching variant's plan follows.
    std::vector<VariantConfig> variants;
    int maxFailures = 0;  // a board whose last N judged runs failed goes to repair; 0 never
};

// False with `error` as "FILE:LINE: KEY: what is wrong".
bool LoadStationFile(const std::string &path, StationConfig &out, std::string &error);

// A host:port whose host is a loopback address (127.x, ::1, localhost).
bool IsLoopbackAddress(const std::string &address);
// A host name or literal address (no port, no brackets) that is loopback.
bool IsLoopbackHost(const std::string &host);

// The station's, the variant's (if any) and the slot's variables together, with SLOT and
// STATION.
fixture::Variables SlotVariables(const StationConfig &config, const SlotConfig &slot,
                                 const VariantConfig *variant = nullptr);
// The values of the variables the file names in `secrets`, as `vars` has them.
std::vector<std::string> SecretValues(const StationConfig &config, const fixture::Variables &vars);

// The variant a board-type reading names; nullptr when none does.
const VariantConfig *FindVariant(const StationConfig &config, const std::string &boardType);

}  // namespace station
