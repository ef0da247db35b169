#include "CfxSender.h"

namespace station {

namespace {
const char *const kStationState = "station-state";
}  // namespace

CfxSender::CfxSender(Store &store, CfxOptions options)
    : OutboxSender(store, kCfxTarget), options_(std::move(options)), amqp_(options_.amqp) {}

CfxSender::~CfxSender() {
    Stop();
}

bool CfxSender::StationUp(int64_t nowMs, std::string &error) {
    upMs_ = nowMs;
    const CfxMessage m = BuildStationState(true, 0, nowMs, options_.handle);
    if (!store_.Enqueue(kCfxTarget, kStationState, m.json, error)) return false;
    Wake();
    return true;
}

bool CfxSender::StationDown(int64_t nowMs, std::string &error) {
    const CfxMessage m = BuildStationState(false, nowMs - upMs_, nowMs, options_.handle);
    if (!store_.Enqueue(kCfxTarget, kStationState, m.json, error)) return false;
    Wake();
    return true;
}

bool CfxSender::Messages(const OutboxItem &item, std::vector<CfxMessage> &out,
                         std::string &error) const {
    if (!item.payload.empty()) {
        CfxMessage m;
        if (!ParseCfx(item.payload, m)) {
            error = "outbox entry " + std::to_string(item.seq) + " holds no CFX envelope";
            return false;
        }
        out.push_back(std::move(m));
        return true;
    }
    const bool begun = item.kind == "run-begun";
    RunRecord run;
    if ((!begun && item.kind != "run-ended") || !store_.Run(item.ref, run)) {
        error = "outbox entry " + std::to_string(item.seq) + " (" + item.kind + " " +
                std::to_string(item.ref) + ") names no stored run";
        return false;
    }
    if (begun) {
        out.push_back(BuildCfx(CfxKind::WorkStarted, run, {}, options_.handle));
        return true;
    }
    const std::vector<StepRow> steps = store_.Steps(item.ref);
    out.push_back(BuildCfx(CfxKind::UnitsTested, run, steps, options_.handle));
    out.push_back(BuildCfx(CfxKind::WorkCompleted, run, steps, options_.handle));
    return true;
}

bool CfxSender::Connect(std::string &error) {
    // Each batch opens its own connection; only the password file can be checked ahead.
    std::string password;
    if (options_.amqp.passwordFile.empty()) return true;
    const bool readable = ReadPasswordFile(options_.amqp.passwordFile, password, error);
    password.assign(password.size(), '\0');
    return readable;
}

OutboxSender::Batch CfxSender::Send(const std::vector<OutboxItem> &items) {
    Batch batch;
    std::vector<CfxMessage> messages;
    std::vector<size_t> ends;  // ends[i]: messages up to item i's last
    std::string unsendable;    // why the entry after the last in `ends` has no messages
    for (const OutboxItem &item : items) {
        if (!Messages(item, messages, unsendable)) break;
        ends.push_back(messages.size());
    }
    const AmqpResult sent = amqp_.Send(messages);
    while (batch.accepted < ends.size() && ends[batch.accepted] <= sent.accepted) {
        ++batch.accepted;
    }
    batch.refused = sent.rejected;
    batch.error = sent.error;
    // Those before it went first; now it is first, and set aside.
    if (batch.accepted == ends.size() && !unsendable.empty())
        batch = {batch.accepted, true, unsendable};
    return batch;
}

}  // namespace station
