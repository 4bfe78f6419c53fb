// One place decides whether a call is hit, so that every operation counts its calls alike.

#include "support/scripted_faults.h"

namespace mivo::testing::detail {

// Counts one call against a fault; true when this call is one the fault applies to.
bool takeCall(Calls& calls) {
    if (calls.skip > 0) {
        --calls.skip;
        return false;
    }
    if (calls.count == 0) return false;
    --calls.count;
    return true;
}

// Every fault counts every call; the call fails when any of them applies.
bool anyFault(std::vector<Calls>& faults) {
    bool fail = false;
    for (Calls& calls : faults) fail = takeCall(calls) || fail;
    return fail;
}

std::optional<std::string> describedFault(std::vector<detail::DescribedFault>& faults) {
    std::optional<std::string> description;
    for (auto& fault : faults) {
        if (takeCall(fault.calls) && !description) description = fault.description;
    }
    return description;
}

}  // namespace mivo::testing::detail
