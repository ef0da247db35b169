// A run's results as IPC-CFX (IPC-2591) messages for the factory's message bus. Every message
// is built from the stored run alone, and its id is derived from the run's uid and the message's
// kind: a resend after a crash carries the same bytes and the same id, so a receiver can drop
// the repeat.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "StationView.h"
#include "Store.h"

namespace station {

// One envelope as it goes on the bus, with what the transport needs beside the JSON.
struct CfxMessage {
    std::string id;    // the envelope's UniqueID
    std::string name;  // MessageName, e.g. "CFX.Production.WorkStarted"
    std::string source;
    int64_t timeMs = 0;  // TimeStamp
    std::string json;    // the whole envelope, UTF-8

    std::string Topic() const;    // the body's namespace: `name` without its last part
    std::string Subject() const;  // "<source>.<name>"
};

enum class CfxKind { WorkStarted, UnitsTested, WorkCompleted };

const char *CfxMessageName(CfxKind kind);
// "Passed", "Failed", "Aborted", "Error" as a unit's or test's TestResult.
const char *CfxTestResult(Verdict verdict);
// WorkCompleted's Result: a board that failed its test was still tested ("Completed"); only a
// run the station could not finish is "Failed".
const char *CfxWorkResult(Verdict verdict);

// A lowercase 8-4-4-4-12 GUID derived from `uid` and `name` alone.
std::string CfxGuid(const std::string &uid, const std::string &name);
// ms since the epoch as "2026-04-20T10:15:42.5000000+00:00" (UTC).
std::string CfxTime(int64_t ms);
// "00:01:25", or "1.02:03:04" past a day, as .NET writes a TimeSpan.
std::string CfxTimeSpan(int64_t ms);

// `handle` is the station's CFX handle (the envelope's Source).
CfxMessage BuildCfx(CfxKind kind, const RunRecord &run, const std::vector<StepRow> &steps,
                    const std::string &handle);

// The station came up (`up`) or is going down after `upMs`. Its id is new each time: the
// message is stored whole before it is sent.
CfxMessage BuildStationState(bool up, int64_t upMs, int64_t nowMs, const std::string &handle);

// The fields the transport needs, read back from a stored envelope; false when it is not one.
bool ParseCfx(const std::string &json, CfxMessage &out);

}  // namespace station
