#pragma once

#include <memory>

#include "platform/audio_converter.h"
#include "platform/audio_format.h"

namespace mivo::platform::pulse {

// A streaming resampler between non-interleaved float32 / int16 formats of the same channel
// count; null when the pair is not one it handles.
std::shared_ptr<AudioConverter> makeSoxrConverter(const AudioFormat& from, const AudioFormat& to);

}  // namespace mivo::platform::pulse
