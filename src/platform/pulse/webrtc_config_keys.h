#pragma once

// webrtc::Config finds an option by the address of a static variable inside a header template,
// Config::identifier<T>(). Built with hidden visibility, this library has its own copy of that
// variable, not the one WebRTC AudioProcessing looks up, so every option set through a Config
// would silently keep its default. These specialisations hand out WebRTC's own variables (which it
// exports); include this header before any use of webrtc::Config.

#include <webrtc/modules/audio_processing/include/audio_processing.h>

extern char webrtcExperimentalAgcKey asm("_ZZN6webrtc6Config10identifierINS_15ExperimentalAgcEEEPvvE14id_placeholder");
extern char webrtcExtendedFilterKey asm("_ZZN6webrtc6Config10identifierINS_14ExtendedFilterEEEPvvE14id_placeholder");
extern char webrtcDelayAgnosticKey asm("_ZZN6webrtc6Config10identifierINS_13DelayAgnosticEEEPvvE14id_placeholder");

namespace webrtc {
template <>
inline void* Config::identifier<ExperimentalAgc>() {
    return &webrtcExperimentalAgcKey;
}
template <>
inline void* Config::identifier<ExtendedFilter>() {
    return &webrtcExtendedFilterKey;
}
template <>
inline void* Config::identifier<DelayAgnostic>() {
    return &webrtcDelayAgnosticKey;
}
}  // namespace webrtc
