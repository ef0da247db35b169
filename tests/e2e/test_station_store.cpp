// The station program and PostgreSQL where no board is needed: what `station check` says of a
// server it can or cannot reach, in the server's own words.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "PgServer.h"
#include "Process.h"

namespace {

TEST(StationStoreE2e, CheckSaysWhyPostgresIsNotReached) {
    tvk_test::PgServer pg;
    ASSERT_TRUE(pg.ok()) << pg.error();
    char pattern[] = "/tmp/tvk-station-store-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    std::ofstream(dir + "/line.plan") << "version expect=5.0.0\n";
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
        std::ofstream(dir + "/line.toml")
            << "name = \"e2e\"\nplan = \"line.plan\"\n[store]\npostgres = \"" << c.connection
            << "\"\n[[slot]]\nname = \"A\"\nport = \"/dev/null\"\n";
        const support::ProcessResult r =
            support::RunProcess({STATION_PATH, "check", dir + "/line.toml"});
        EXPECT_EQ(r.exitCode, c.exitCode) << c.connection << ": " << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
