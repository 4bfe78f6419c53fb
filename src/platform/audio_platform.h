#pragma once

// The seam between the core and an audio system. The core (src/core, src/capture, src/playback,
// src/api) reaches hardware only through the interfaces of src/platform; a backend implements them.
//
// What the core guarantees to a backend:
//  - One platform serves every instance in the process and is called from any thread, several at
//    once: host threads and each instance's control thread.
//  - Per instance, start and stop never overlap. A start asks, in this order: both default devices
//    (getPropertyData), makeEngine and makePlayerNode, the input node's voice-processing settings,
//    the input and output formats, attachNode and connect, makeStandardFormat and makeConverter,
//    installTapOnBus, prepare, start, the player's play, and last addObserver on the engine.
//  - Everything it is handed (formats, buffers, blocks) is owned by shared pointers or copied;
//    no raw pointer the core passes in outlives the call.
//
// What a backend must do:
//  - Answer every call in bounded time: a server or device that hangs makes the call fail with a
//    status or a description, never block the host.
//  - Return null or a non-zero status for what it cannot make or find, never throw.
//  - Make getPropertyData's default-device ids non-zero for real devices; 0 means none.

#include <cstdint>
#include <memory>

#include "platform/audio_converter.h"
#include "platform/audio_engine.h"
#include "platform/audio_format.h"
#include "platform/notification_center.h"
#include "platform/pcm_buffer.h"

namespace mivo::platform {

using AudioObjectID = uint32_t;
using OSStatus = int32_t;

constexpr uint32_t fourCharCode(const char (&code)[5]) {
    return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
           (uint32_t(uint8_t(code[2])) << 8) | uint32_t(uint8_t(code[3]));
}

inline constexpr AudioObjectID systemObject = 1;
inline constexpr uint32_t defaultInputDeviceSelector = fourCharCode("dIn ");
inline constexpr uint32_t defaultOutputDeviceSelector = fourCharCode("dOut");
inline constexpr uint32_t globalScope = fourCharCode("glob");

struct PropertyAddress {
    uint32_t selector = 0;
    uint32_t scope = 0;
    uint32_t element = 0;
};

// Everything the core needs from an audio system. One instance may serve many VoiceIO objects
// and is called from any thread.
class AudioPlatform {
public:
    virtual ~AudioPlatform() = default;

    // Reads a property of an audio object into `data`; 0 on success.
    virtual OSStatus getPropertyData(AudioObjectID object, const PropertyAddress& address,
                                     uint32_t qualifierSize, const void* qualifier, uint32_t& dataSize,
                                     void* data) = 0;

    virtual std::shared_ptr<AudioEngine> makeEngine() = 0;
    virtual std::shared_ptr<PlayerNode> makePlayerNode() = 0;

    // Each may yield nothing.
    virtual std::shared_ptr<const AudioFormat> makeStandardFormat(double sampleRate, uint32_t channels) = 0;
    virtual std::shared_ptr<PCMBuffer> makePCMBuffer(const AudioFormat& format, uint32_t frameCapacity) = 0;
    virtual std::shared_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) = 0;

    virtual NotificationCenter& notificationCenter() = 0;
};

// The platform behind mivo_voice_io_create in this build.
std::shared_ptr<AudioPlatform> defaultAudioPlatform();

}  // namespace mivo::platform
