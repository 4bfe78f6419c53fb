#pragma once

#include "mivo_duplex/options.h"

namespace mivo::duplex::check {

// The whole check: prints the report (text or JSON) and returns the exit status: 0 cancellation
// is working, 1 a finding needs the user, 2 the check could not run.
int runCheck(const CheckOptions& options);

}  // namespace mivo::duplex::check
