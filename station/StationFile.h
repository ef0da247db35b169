// The station file (TOML): the station's name, its plan, its slots and their variables, the
// results store and the operator page.
#pragma once

#include <string>
#include <vector>

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

struct StationConfig {
    std::string path;  // the station file; relative paths in it are taken from its folder
    std::string name;
    std::string planPath;
    std::string operatorName;
    fixture::Variables vars;
    std::string sqlitePath;
    std::string postgres;  // libpq connection string; empty: SQLite only
    std::string junitDir;  // a JUnit file per run (default: junit/ beside the store); empty: none
    bool web = false;      // the file has a [web] table
    WebOptions webOptions;
    std::vector<SlotConfig> slots;
};

// False with `error` as "FILE:LINE: KEY: what is wrong".
bool LoadStationFile(const std::string &path, StationConfig &out, std::string &error);

// A host:port whose host is a loopback address (127.x, ::1, localhost).
bool IsLoopbackAddress(const std::string &address);
// A host name or literal address (no port, no brackets) that is loopback.
bool IsLoopbackHost(const std::string &host);

// The station's and the slot's variables together, with SLOT and STATION.
fixture::Variables SlotVariables(const StationConfig &config, const SlotConfig &slot);

}  // namespace station
