// The station file: what it fills in, and errors that name the file, the line and the key.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "StationFile.h"
#include "TempDir.h"

namespace {

struct File {
    support::TempDir folder{"tvk-station-file"};
    std::string dir = folder.path(), path;
    explicit File(const std::string &text) : path(folder.Write("line.toml", text)) {}
};

constexpr char kSlot[] = "[[slot]]\nname = \"A\"\nport = \"tty\"\n";

TEST(StationFile, FillsPathsVariablesAndDefaults) {
    File file(std::string("name = \"L1\"\nplan = \"p.plan\"\nsecrets = [\"KEY\"]\n"
                          "[vars]\nGW = \"10.0.0.1\"\n") +
              kSlot + "vars = { GW = \"10.0.0.9\", MAC = \"02:00:00:00:00:01\" }\n");
    station::StationConfig config;
    std::string error;
    ASSERT_TRUE(station::LoadStationFile(file.path, config, error)) << error;
    EXPECT_EQ(config.planPath, file.dir + "/p.plan");
    EXPECT_EQ(config.sqlitePath, file.dir + "/L1.db");
    EXPECT_EQ(config.junitDir, file.dir + "/junit");
    EXPECT_EQ(config.slots.at(0).port, file.dir + "/tty");
    EXPECT_FALSE(config.web);
    const fixture::Variables vars = station::SlotVariables(config, config.slots[0]);
    EXPECT_EQ(vars.at("GW"), "10.0.0.9");  // the slot's own wins
    EXPECT_EQ(vars.at("SLOT"), "A");
    EXPECT_EQ(vars.at("STATION"), "L1");
    EXPECT_EQ(config.secrets, std::vector<std::string>{"KEY"});
    // Names in any language are names.
    File named(
        std::string("name = \"Línea 1\"\nplan = \"p\"\n[[slot]]\nname = \"José\"\nport = \"t\"\n"));
    ASSERT_TRUE(station::LoadStationFile(named.path, config, error)) << error;
    EXPECT_EQ(config.slots.at(0).name, "José");
}

TEST(StationFile, ErrorsNameTheFileLineAndKey) {
    const struct {
        std::string text;
        const char *says;
    } cases[] = {
        {std::string("name = \"L\"\nplan = \"p\"\nplna = 1\n") + kSlot, ":3: plna: unknown key"},
        {"name = \"L\"\nplan = \"p\"\n", "slot: give one [[slot]]"},
        {std::string("name = \"L\"\nplan = \"p\"\n") + kSlot + kSlot, ":7: slot.name: 'A' twice"},
        {std::string("name = \"L\"\nplan = \"p\"\n[web]\naddress = \"0.0.0.0:80\"\n") + kSlot,
         ":4: web.address: not a loopback address"},
        {std::string("name = \"L\"\nplan = 5\n") + kSlot, ":2: plan: must be a string"},
        {std::string("name = \"L\"\nplan = \"p\"\nsecrets = \"KEY\"\n") + kSlot,
         ":3: secrets: must be a list of strings"},
        {"name = \"L\nplan", ":1: "},
        // Names become file names and terminal text.
        {std::string("name = \"../../x/line\"\nplan = \"p\"\n") + kSlot,
         ":1: name: must be no '/'"},
        {std::string("name = \"L\"\nplan = \"p\"\n[[slot]]\nname = \"A\\u001b[2J\"\n"),
         ":4: slot.name: must be printable"},
        {std::string("name = \"L\"\nplan = \"p\"\n[[slot]]\nname = \"A/B\"\n"),
         ":4: slot.name: must be no '/'"},
        {"name = \"" + std::string(65, 'L') + "\"\nplan = \"p\"\n" + kSlot,
         ":1: name: must be at most 64"},
        {std::string("name = \"L\"\nplan = \"/dev/zero\"\n") + kSlot,
         ":2: plan: not a regular file"},
        {std::string("name = \"L\"\nplan = \"p\"\n") + kSlot + std::string(1 << 20, '#'),
         "larger than"},
    };
    for (const auto &c : cases) {
        File file(c.text);
        station::StationConfig config;
        std::string error;
        EXPECT_FALSE(station::LoadStationFile(file.path, config, error)) << c.text;
        EXPECT_EQ(error.rfind(file.path, 0), 0u) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.says << " / " << error;
    }
}

}  // namespace
