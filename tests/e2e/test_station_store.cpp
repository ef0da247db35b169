// The station program and its stores where no board is needed: what `station check` says of a
// PostgreSQL server it can or cannot reach, in the server's own words; a results store another
// station holds is refused whatever path leads to it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "PgServer.h"
#include "Process.h"
#include "Store.h"

namespace {

struct Folder {
    std::string path;
    Folder() {
        char pattern[] = "/tmp/tvk-station-store-XXXXXX";
        path = mkdtemp(pattern);
        std::ofstream(path + "/line.plan") << "version expect=5.0.0\n";
    }
    ~Folder() { std::filesystem::remove_all(path); }
    // A station file with one slot and the [store] table given.
    std::string StationFile(const std::string &store) const {
        std::ofstream(path + "/line.toml") << "name = \"e2e\"\nplan = \"line.plan\"\n[store]\n"
                                           << store << "\n[[slot]]\nname = \"A\"\n"
                                           << "port = \"/dev/null\"\n";
        return path + "/line.toml";
    }
};

TEST(StationStoreE2e, CheckSaysWhyPostgresIsNotReached) {
    tvk_test::PgServer pg;
    ASSERT_TRUE(pg.ok()) << pg.error();
    Folder dir;
    const struct {
        std::string connection;
        int exitCode;
        const char *says;
    } cases[] = {
        {pg.Connection(), 0, "PostgreSQL: reached"},
        {pg.Connection() + " dbname=nope", 1, "database \"nope\" does not exist"},
        {pg.Connection() + " user=nobody", 1, "role \"nobody\" does not exist"},
        {"host=127.0.0.1 port=1", 1, "Connection refused"},
    };
    for (const auto &c : cases) {
        const support::ProcessResult r = support::RunProcess(
            {STATION_PATH, "check", dir.StationFile("postgres = \"" + c.connection + "\"")});
        EXPECT_EQ(r.exitCode, c.exitCode) << c.connection << ": " << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
    }
}

TEST(StationStoreE2e, AStoreAnotherStationHoldsIsRefusedWhateverThePath) {
    Folder dir;
    std::string error;
    auto held = station::Store::Open(dir.path + "/results.db", false, error);
    ASSERT_TRUE(held) << error;
    ASSERT_EQ(symlink("results.db", (dir.path + "/symlink.db").c_str()), 0);
    ASSERT_EQ(link((dir.path + "/results.db").c_str(), (dir.path + "/hardlink.db").c_str()), 0);
    for (const char *name : {"results.db", "symlink.db", "hardlink.db"}) {
        const support::ProcessResult r = support::RunProcess(
            {STATION_PATH, "run", dir.StationFile("sqlite = \"" + std::string(name) + "\"")});
        EXPECT_EQ(r.exitCode, 2) << name << ": " << r.out << r.err;
        EXPECT_NE(r.err.find("another station is using this store"), std::string::npos) << r.err;
    }
}

}  // namespace
