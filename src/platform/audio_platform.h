#pragma once

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
    virtual std::shared_ptr<const AudioFormat> makeFormat(CommonFormat commonFormat, double sampleRate,
                                                          uint32_t channels, bool interleaved) = 0;
    virtual std::shared_ptr<const AudioFormat> makeStandardFormat(double sampleRate, uint32_t channels) = 0;
    virtual std::shared_ptr<PCMBuffer> makePCMBuffer(const AudioFormat& format, uint32_t frameCapacity) = 0;
    virtual std::shared_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) = 0;

    virtual NotificationCenter& notificationCenter() = 0;
};

// The platform behind mivo_voice_io_create in this build.
std::shared_ptr<AudioPlatform> defaultAudioPlatform();

}  // namespace mivo::platform
