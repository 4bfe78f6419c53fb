#pragma once

#include <string_view>

// Every text the host can read through mivo_voice_io_copy_last_error. They are part of the C
// contract: hosts compare them, so they never change, not even the platform name in them.
namespace mivo::base::texts {

// Followed by the reason.
inline constexpr std::string_view startFailure = "Unable to start VoiceProcessingIO: ";
inline constexpr std::string_view configurationChanged = "The macOS audio device configuration changed";
// Followed by the converter's description.
inline constexpr std::string_view resamplingFailure = "Microphone resampling failed: ";
inline constexpr std::string_view notRunning = "VoiceProcessingIO is not running";
inline constexpr std::string_view stoppedDuringPlayback = "VoiceProcessingIO stopped during playback";
inline constexpr std::string_view capacityTimeout = "Timed out waiting for playback queue capacity";
inline constexpr std::string_view bufferFailure = "Unable to create a playback buffer";
inline constexpr std::string_view waitTimeout = "Timed out waiting for audio playback";

}  // namespace mivo::base::texts
