#pragma once

#include <string>

#include "mivo_duplex/check/check_report.h"

namespace mivo::duplex::check {

// ERLE per second as bars, the double-talk window shaded and the level cancellation should
// reach marked; the echo path in the title. False when the PNG cannot be written.
bool drawErlePicture(const CheckReport& report, const std::string& path);

}  // namespace mivo::duplex::check
