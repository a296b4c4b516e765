// Staged rollouts: a canary group first, and a limit on failures.
#include "fleet/fleet.h"

namespace fleet {

Gate rolloutGate(const Rollout& rollout, const std::vector<Record>& records) {
    const size_t canary = std::min(records.size(), static_cast<size_t>(rollout.canary));
    bool canaryRunning = false;
    for (size_t i = 0; i < canary; ++i) {
        const Record& r = records[i];
        if (r.stage != Stage::Done) canaryRunning = true;
        else if (!outcomeSucceeded(r.outcome)) return Gate::CanaryFailed;
    }
    int failures = 0;
    for (const Record& r : records)
        if (r.stage == Stage::Done && !outcomeSucceeded(r.outcome) && r.outcome != Outcome::NotStarted) ++failures;
    if (rollout.maxFailures > 0 && failures >= rollout.maxFailures) return Gate::TooManyFailures;
    return canaryRunning ? Gate::CanaryWait : Gate::Open;
}

std::string gateDetail(Gate gate, const Rollout& rollout) {
    switch (gate) {
        case Gate::CanaryFailed:
            return "a device of the first " + std::to_string(rollout.canary) + " was neither upgraded nor current";
        case Gate::TooManyFailures: return std::to_string(rollout.maxFailures) + " devices failed";
        case Gate::Open:
        case Gate::CanaryWait: break;
    }
    return "";
}

}  // namespace fleet
