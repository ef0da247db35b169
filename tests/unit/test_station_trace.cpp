// Which boards go to repair instead of another test.
#include <gtest/gtest.h>

#include "Trace.h"

namespace {

using station::Verdict;
constexpr Verdict P = Verdict::Pass, F = Verdict::Fail, E = Verdict::Error, A = Verdict::Aborted;

TEST(RepairRefusal, CountsOnlyTheBoardsOwnFailuresSinceItsLastPass) {
    const std::string refused = "board B7: 3 failures, send to repair";
    struct Case {
        std::vector<Verdict> newestFirst;
        int maxFailures;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{F, F, F}, 3, refused},
        {{F, F}, 3, ""},                // not yet
        {{F, F, P, F}, 3, ""},          // a pass between: the run of failures restarts
        {{F, E, F, A, F}, 3, refused},  // the station's errors and stops are not the board's
        {{E, E, E, E}, 3, ""},
        {{F, F, F, F, F}, 0, ""},  // no limit set
        {{F}, 1, "board B7: 1 failure, send to repair"},
        {{}, 2, ""},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(station::RepairRefusal("B7", c.newestFirst, c.maxFailures), c.expected)
            << c.newestFirst.size() << " runs, limit " << c.maxFailures;
    }
}

}  // namespace
