// station: runs a production line's plan on several boards at once and keeps every result.
//   station run FILE [--auto [--runs N]] [--web [ADDR]] [--operator NAME]
//   station check FILE
//   station history --board ID (--station FILE | --db PATH) [--json | --csv]
//   station yield [--since DATE] (--station FILE | --db PATH) [--json | --csv]
//   station repair BOARD --note TEXT (--station FILE | --db PATH) [--operator NAME]
#include <signal.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <thread>

#include "CfxSender.h"
#include "Metrics.h"
#include "Postgres.h"
#include "RunReport.h"
#include "Station.h"
#include "StationFile.h"
#include "Store.h"
#include "Terminal.h"
#include "Text.h"
#include "Web.h"

namespace {

using namespace station;

struct Query {
    std::string stationFile, db, board, since, note, operatorName;
    bool json = false, csv = false;
};

std::unique_ptr<Store> OpenQueryStore(const Query &q) {
    std::string path = q.db, error;
    if (path.empty()) {
        StationConfig config;
        if (!LoadStationFile(q.stationFile, config, error)) {
            std::cerr << "station: " << error << '\n';
            return nullptr;
        }
        path = config.sqlitePath;
    }
    auto store = Store::OpenForReading(path, error);
    if (!store) std::cerr << "station: " << error << '\n';
    return store;
}

// Written beside a running station too: its claim on the store is not needed for one row.
int Repair(const Query &q) {
    StationConfig config;
    std::string path = q.db, error;
    std::vector<OutboxTarget> targets;
    if (path.empty()) {
        if (!LoadStationFile(q.stationFile, config, error)) {
            std::cerr << "station: " << error << '\n';
            return 2;
        }
        path = config.sqlitePath;
        if (!config.postgres.empty()) targets.push_back({kPostgresTarget});
    }
    const RepairRow repair{0, q.board, NowMs(), q.note,
                           q.operatorName.empty() ? config.operatorName : q.operatorName};
    if (!Store::RecordRepair(path, targets, repair, error)) {
        std::cerr << "station: " << error << '\n';
        return 2;
    }
    std::cout << "board " << q.board << ": repair recorded; its next run is a retest\n";
    return 0;
}

Format QueryFormat(const Query &q) {
    return q.json ? Format::Json : q.csv ? Format::Csv : Format::Text;
}

struct RunArgs {
    std::string file, operatorName, web;
    bool autoRestart = false, webPublic = false;
    int runs = 0;
};

// The WAL alone grows to about 4 MB before a checkpoint; below this a run may not be stored.
constexpr uint64_t kLowSpaceBytes = 16u << 20;

std::unique_ptr<Store> OpenStore(const StationConfig &config, std::string &error) {
    std::vector<OutboxTarget> targets;
    if (!config.postgres.empty()) targets.push_back({kPostgresTarget});
    if (!config.cfx.amqp.broker.empty()) targets.push_back({kCfxTarget, OutboxKinds::Edges});
    auto store = Store::Open(config.sqlitePath, targets, error);
    if (!store) return nullptr;
    if (store->AbortedOnOpen() > 0) {
        std::cout << "station: " << store->AbortedOnOpen()
                  << " run(s) left open by an earlier stop are now marked ABORTED\n";
    }
    const std::string folder = std::filesystem::path(config.sqlitePath).parent_path().string();
    struct statvfs space;
    if (statvfs(folder.empty() ? "." : folder.c_str(), &space) == 0 &&
        uint64_t{space.f_bavail} * space.f_frsize < kLowSpaceBytes) {
        std::cout << "station: warning: " << uint64_t{space.f_bavail} * space.f_frsize / 1024
                  << " KiB free beside " << config.sqlitePath << " (under "
                  << (kLowSpaceBytes >> 20) << " MB): results may not be saved\n";
    }
    return store;
}

StationOptions Options(const RunArgs &args) {
    StationOptions options;
    options.autoRestart = args.autoRestart || args.runs > 0;
    options.autoConfirm = options.autoRestart;
    options.autoIdentify = options.autoRestart;
    options.runsPerSlot = args.runs;
    options.operatorName = args.operatorName;
    return options;
}

// Signals are taken by one thread, so every other thread runs undisturbed.
sigset_t BlockSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return signals;
}

// False (said on stderr) when the page was asked for and cannot be served.
bool StartWeb(const RunArgs &args, const StationConfig &config, Station &station, Store &store,
              const Metrics &metrics, std::unique_ptr<WebServer> &web) {
    if (!config.web && args.web.empty()) return true;
    WebOptions webOptions = config.webOptions;
    webOptions.metrics = [&] {
        return metrics.Format(station.Slots(), station.Outboxes(), NowMs());
    };
    webOptions.tokenFile = config.sqlitePath + ".page-token";
    if (!args.web.empty() && args.web != "yes") webOptions.address = args.web;
    if (!IsLoopbackAddress(webOptions.address) && !args.webPublic &&
        args.web == webOptions.address) {
        std::cerr << "station: --web " << webOptions.address
                  << " is not a loopback address; add --web-public to serve other machines\n";
        return false;
    }
    std::string error;
    web = StartWebServer(station, store, webOptions, error);
    if (!web) {
        std::cerr << "station: operator page: " << error << '\n';
        return false;
    }
    // Flushed: under systemd or into a file nobody would see it until the end.
    std::cout << "operator page: " << web->Url() << "\n  open " << web->PairingLink()
              << " on the operator's screen (the link works once, for 10 minutes)" << std::endl;
    return true;
}

// Until a signal, "q", the end of input (not under --auto) or every slot's last run.
void Serve(Station &station, const StationOptions &options, sigset_t signals) {
    const bool live = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    Terminal terminal(station, std::cout, live);
    std::thread signalWaiter([&] {
        int number = 0;
        sigwait(&signals, &number);
        terminal.Finish();
    });
    std::thread finishWaiter;
    if (options.autoRestart) {
        std::string error;
        for (const SlotView &slot : station.Slots()) station.StartSlot(slot.name, error);
        if (options.runsPerSlot > 0) {
            finishWaiter = std::thread([&] {
                station.WaitFinished();
                terminal.Finish();
            });
        }
    }
    terminal.Run(STDIN_FILENO, options.autoRestart);
    station.Shutdown();
    if (finishWaiter.joinable()) finishWaiter.join();
    // The signal thread waits for a signal that may never come: send it the one it waits for.
    pthread_kill(signalWaiter.native_handle(), SIGTERM);
    signalWaiter.join();
}

// The bus hears the station go; a broker that does not answer gets a few seconds.
void StopCfx(CfxSender &cfx, const StationConfig &config) {
    std::string error;
    if (!cfx.StationDown(NowMs(), error)) std::cerr << "station: message bus: " << error << '\n';
    if (cfx.Stop(std::chrono::seconds(5))) return;
    const OutboxStatus left = cfx.Status();
    std::cout << "station: the message bus did not take " << left.waiting << " message entries"
              << (left.lastError.empty() ? "" : " (" + left.lastError + ")") << "; they wait in "
              << config.sqlitePath << " and go with the next start\n";
}

// A server that does not answer gets a few seconds; what it has not taken waits for the next
// start.
void StopPostgres(PostgresSender &sender, const StationConfig &config) {
    if (sender.Stop(std::chrono::seconds(5))) return;
    const OutboxStatus left = sender.Status();
    std::cout << "station: PostgreSQL did not take " << left.waiting << " result(s)"
              << (left.lastError.empty() ? "" : " (" + left.lastError + ")") << "; they wait in "
              << config.sqlitePath << " and go with the next start\n";
}

int RunStation(const RunArgs &args) {
    StationConfig config;
    std::string error;
    std::unique_ptr<Store> store;
    if (!LoadStationFile(args.file, config, error) || !(store = OpenStore(config, error))) {
        std::cerr << "station: " << error << '\n';
        return 2;
    }
    StationOptions options = Options(args);
    // A person can retype a name; a stored one with bad bytes would be mended silently.
    if (!fixture::ValidUtf8(options.operatorName) || !fixture::ValidUtf8(config.operatorName)) {
        std::cerr << "station: the operator's name is not valid UTF-8 (check the terminal's "
                     "character set and type it again)\n";
        return 2;
    }
    Metrics metrics(NowMs());
    options.metrics = &metrics;
    const sigset_t signals = BlockSignals();
    std::unique_ptr<PostgresSender> sender;
    if (!config.postgres.empty()) {
        sender = std::make_unique<PostgresSender>(*store, config.postgres);
    }
    std::unique_ptr<CfxSender> cfx;
    if (!config.cfx.amqp.broker.empty()) cfx = std::make_unique<CfxSender>(*store, config.cfx);
    std::vector<OutboxSender *> senders;
    if (sender) senders.push_back(sender.get());
    if (cfx) senders.push_back(cfx.get());
    auto station = Station::Create(config, *store, options, senders, error);
    if (!station) {
        std::cerr << "station: " << error << '\n';
        return 2;
    }
    if (sender) sender->Start();
    if (cfx) {
        cfx->Start();
        if (!cfx->StationUp(NowMs(), error)) std::cerr << "station: message bus: " << error << '\n';
    }
    std::unique_ptr<WebServer> web;
    if (!StartWeb(args, config, *station, *store, metrics, web)) return 2;
    std::cout << "station " << config.name << ": plan " << station->PlanName() << " ("
              << station->PlanHashText() << "), " << config.slots.size() << " slots, results in "
              << config.sqlitePath << (config.postgres.empty() ? "" : " and PostgreSQL") << '\n';
    if (!options.autoRestart) {
        std::cout << "Enter starts every slot; a slot's name and Enter starts that one; q quits\n";
    }
    std::cout << std::flush;  // before the slots' lines, wherever the output goes
    Serve(*station, options, signals);
    if (web) web->Stop();
    if (sender) StopPostgres(*sender, config);
    if (cfx) StopCfx(*cfx, config);
    if (station->Unsaved() == 0) return 0;
    std::cout << "station: " << station->Unsaved()
              << " run(s) ended ERROR: their results could not be saved" << std::endl;
    return 1;
}

int Check(const std::string &checkFile) {
    StationConfig config;
    std::string error;
    if (!LoadStationFile(checkFile, config, error)) {
        std::cerr << "station: " << error << '\n';
        return 2;
    }
    // The station's plan and each variant's, read once and filled in for every slot.
    struct PlanFile {
        std::string path, text;
        const VariantConfig *variant;
    };
    std::vector<PlanFile> plans = {{config.planPath, "", nullptr}};
    for (const VariantConfig &variant : config.variants)
        plans.push_back({variant.planPath, "", &variant});
    for (PlanFile &p : plans) {
        if (!fixture::ReadTextFile(p.path, fixture::kMaxPlanFileBytes, p.text, error)) {
            std::cerr << "station: " << error << '\n';
            return 2;
        }
    }
    for (const SlotConfig &slot : config.slots) {
        for (const auto &[path, text, variant] : plans) {
            std::vector<std::string> errors;
            fixture::Plan plan;
            if (!fixture::ParsePlan(text, "", SlotVariables(config, slot, variant), plan, errors)) {
                std::cerr << "station: " << path << " (slot " << slot.name
                          << "): " << errors.front() << '\n';
                return 2;
            }
        }
    }
    std::cout << checkFile << ": " << config.slots.size() << " slots, plan " << config.planPath
              << ": OK\n";
    if (config.postgres.empty()) return 0;
    if (!CheckPostgres(config.postgres, error)) {
        std::cout << "PostgreSQL: not reached: " << error << '\n';
        return 1;
    }
    std::cout << "PostgreSQL: reached\n";
    return 0;
}

}  // namespace

CLI::App *AddRun(CLI::App &app, RunArgs &runArgs) {
    CLI::App *run = app.add_subcommand("run", "run the station's plan on its slots");
    run->add_option("file", runArgs.file, "station file (TOML)")->required();
    run->add_flag("--auto", runArgs.autoRestart,
                  "start every slot, again as soon as its board is done; confirmations are "
                  "answered yes and serial numbers made up (a simulated line)");
    run->add_option("--runs", runArgs.runs, "with --auto: stop after N runs per slot")
        ->check(CLI::Range(1, 1000000));
    run->add_option("--operator", runArgs.operatorName, "the operator's name, stored with runs");
    run->add_option("--web", runArgs.web, "serve the operator page (at ADDR, host:port)")
        ->expected(0, 1)
        ->default_str("yes");
    run->add_flag("--web-public", runArgs.webPublic, "allow a non-loopback --web address");
    return run;
}

struct QueryCommands {
    CLI::App *history, *yield, *repair;
};

QueryCommands AddQueries(CLI::App &app, Query &query) {
    CLI::App *history = app.add_subcommand("history", "every run of one board");
    CLI::App *yield = app.add_subcommand("yield", "first-pass and final yield, failing steps");
    CLI::App *repair =
        app.add_subcommand("repair", "record a board's repair: its failures refuse it no more");
    repair->add_option("board", query.board, "the board's identity (e.g. its MAC)")->required();
    repair->add_option("--note", query.note, "what was done, e.g. \"replaced U12\"")->required();
    repair->add_option("--operator", query.operatorName, "who repaired it");
    for (CLI::App *sub : {history, yield, repair}) {
        auto *file = sub->add_option("--station", query.stationFile, "station file");
        auto *db = sub->add_option("--db", query.db, "results store (SQLite file)");
        file->excludes(db);
        if (sub == repair) continue;
        auto *json = sub->add_flag("--json", query.json, "JSON");
        auto *csv = sub->add_flag("--csv", query.csv, "CSV");
        json->excludes(csv);
    }
    history->add_option("--board", query.board, "the board's identity (e.g. its MAC)")->required();
    yield->add_option("--since", query.since, "from this date (YYYY-MM-DD[THH:MM], UTC)");
    return {history, yield, repair};
}

int main(int argc, char **argv) {
    CLI::App app{"station: a production line's test on several boards at once"};
    app.require_subcommand(1);

    RunArgs runArgs;
    CLI::App *run = AddRun(app, runArgs);
    std::string checkFile;
    CLI::App *check = app.add_subcommand("check", "read the station file and its plan");
    check->add_option("file", checkFile, "station file (TOML)")->required();

    Query query;
    const QueryCommands queries = AddQueries(app, query);

    CLI11_PARSE(app, argc, argv);

    if (*run) return RunStation(runArgs);
    if (*check) return Check(checkFile);
    if (query.stationFile.empty() && query.db.empty()) {
        std::cerr << "station: give --station FILE or --db PATH\n";
        return 2;
    }
    if (*queries.repair) return Repair(query);
    auto store = OpenQueryStore(query);
    if (!store) return 2;
    if (*queries.history) {
        std::cout << FormatHistory(query.board, store->History(query.board), QueryFormat(query),
                                   store->Repairs(query.board));
        return 0;
    }
    int64_t since = 0;
    if (!query.since.empty() && !ParseSince(query.since, since)) {
        std::cerr << "station: --since " << query.since << ": give YYYY-MM-DD[THH:MM]\n";
        return 2;
    }
    std::cout << FormatYield(store->Yield(since), QueryFormat(query));
    return 0;
}
