#pragma once

#include <memory>

#include "platform/audio_converter.h"
#include "platform/audio_format.h"

namespace mivo::platform::pulse {

// Converts between float32 and int16 at one rate, sample for sample: a resampler would hold back
// and filter audio that needs neither. Float becomes int16 as the resampler makes it (times 32768,
// rounded to nearest, clipped). Null for formats of different rates or channel counts.
std::shared_ptr<AudioConverter> makeSameRateConverter(const AudioFormat& from, const AudioFormat& to);

}  // namespace mivo::platform::pulse
