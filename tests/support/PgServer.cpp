#include "PgServer.h"

#include <fcntl.h>
#include <glob.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "Process.h"

namespace tvk_test {

namespace {

// Runs argv as the postgres user; its standard output, and whether it exited 0.
bool RunAsPostgres(std::vector<std::string> argv, std::string *output = nullptr) {
    argv.insert(argv.begin(), {"runuser", "-u", "postgres", "--"});
    const support::ProcessResult result = support::RunProcess(argv, {}, 120000);
    if (output != nullptr) *output = result.out;
    return result.exitCode == 0;
}

}  // namespace

PgServer::PgServer() {
    glob_t found;
    if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &found) != 0) {
        error_ = "no PostgreSQL server installed (/usr/lib/postgresql/*/bin/initdb)";
        return;
    }
    bin_ = std::filesystem::path(found.gl_pathv[found.gl_pathc - 1]).parent_path().string();
    globfree(&found);
    const passwd *user = getpwnam("postgres");
    if (user == nullptr || dir_.path().empty() ||
        chown(dir_.path().c_str(), user->pw_uid, user->pw_gid) != 0) {
        error_ = "no postgres user or no temporary folder";
        return;
    }
    folder_ = dir_.path();
    if (!RunAsPostgres({bin_ + "/initdb", "-D", folder_ + "/data", "-A", "trust", "-U", "postgres",
                        "--no-sync"})) {
        error_ = "initdb failed";
        return;
    }
    ok_ = Start();
    if (!ok_) error_ = "pg_ctl start failed";
}

PgServer::~PgServer() {
    if (!folder_.empty()) Stop();
}

std::string PgServer::Connection() const {
    return "host=" + folder_ + " user=postgres dbname=postgres";
}

bool PgServer::Start() {
    return RunAsPostgres({bin_ + "/pg_ctl", "-D", folder_ + "/data", "-l", folder_ + "/log", "-w",
                          "-o", "-k " + folder_ + " -c listen_addresses='' -c fsync=off", "start"});
}

bool PgServer::Stop() {
    return RunAsPostgres({bin_ + "/pg_ctl", "-D", folder_ + "/data", "-m", "fast", "-w", "stop"});
}

bool PgServer::Signal(int signal) const {
    std::ifstream pidFile(folder_ + "/data/postmaster.pid");
    pid_t postmaster = 0;
    if (!(pidFile >> postmaster) || postmaster <= 0) return false;
    std::vector<pid_t> pids = {postmaster};
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        char state;
        pid_t parent = 0;
        if (fields >> state >> parent && parent == postmaster)
            pids.push_back(std::atoi(entry.path().filename().c_str()));
    }
    // A backend may end between the look and the signal.
    for (size_t i = 1; i < pids.size(); ++i) kill(pids[i], signal);
    return kill(postmaster, signal) == 0;
}

std::string PgServer::Query(const std::string &sql) const {
    std::string out;
    RunAsPostgres({bin_ + "/psql", "-X", "-A", "-t", "-h", folder_, "-U", "postgres", "-c", sql},
                  &out);
    return out;
}

}  // namespace tvk_test
