// The station's run outputs, in the order a run hands them its events: the results store (the
// record), the JUnit file, the delivery targets' wake-up. The slot's view is the run's own,
// last. A new output is one more line in StationOutputs.
#pragma once

#include <string>
#include <vector>

#include "RunOutput.h"
#include "StationFile.h"
#include "Store.h"

namespace station {

class OutboxSender;

// Every output is called from every slot's thread at once: none keeps a run's state.
RunOutputs StationOutputs(const StationConfig &config, Store &store,
                          const std::vector<OutboxSender *> &senders);

// The file a run's JUnit report goes to.
std::string JUnitPath(const std::string &folder, const RunRow &run);

}  // namespace station
