// Teardown asks onlyThisThread(), so that a block that tears down from inside itself does not wait
// for itself.

#include "support/in_flight.h"

#include <algorithm>

namespace mivo::testing {

void InFlight::leave() {
    auto it = std::find(threads_.begin(), threads_.end(), std::this_thread::get_id());
    if (it != threads_.end()) threads_.erase(it);
}

bool InFlight::onlyThisThread() const {
    const auto self = std::this_thread::get_id();
    return std::all_of(threads_.begin(), threads_.end(), [&](std::thread::id id) { return id == self; });
}

}  // namespace mivo::testing
