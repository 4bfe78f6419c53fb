#pragma once

#include <memory>

#include "platform/audio_platform.h"
#include "platform/pulse/pulse_options.h"

namespace mivo::platform::pulse {

class PulseNotificationCenter;
class ServerAccess;

// Status codes of getPropertyData, in the four-character style of the interface.
inline constexpr OSStatus statusNoServer = static_cast<OSStatus>(fourCharCode("stop"));
inline constexpr OSStatus statusNoDevice = static_cast<OSStatus>(fourCharCode("!dev"));
inline constexpr OSStatus statusBadObject = static_cast<OSStatus>(fourCharCode("!obj"));
inline constexpr OSStatus statusUnknownProperty = static_cast<OSStatus>(fourCharCode("who?"));
inline constexpr OSStatus statusBadSize = static_cast<OSStatus>(fourCharCode("!siz"));

// The audio platform on a PulseAudio server: the default source and sink are the devices, each
// engine run is a connection of its own (the one its device questions were asked on), resampling
// is done by soxr.
class PulsePlatform final : public AudioPlatform {
public:
    explicit PulsePlatform(PulsePlatformOptions options = {});
    ~PulsePlatform() override;

    // 'dIn ' / 'dOut' on the system object: the default source / sink, its id being index + 1.
    OSStatus getPropertyData(AudioObjectID object, const PropertyAddress& address, uint32_t qualifierSize,
                             const void* qualifier, uint32_t& dataSize, void* data) override;

    std::shared_ptr<AudioEngine> makeEngine() override;
    std::shared_ptr<PlayerNode> makePlayerNode() override;
    std::shared_ptr<const AudioFormat> makeStandardFormat(double sampleRate, uint32_t channels) override;
    std::shared_ptr<PCMBuffer> makePCMBuffer(const AudioFormat& format, uint32_t frameCapacity) override;
    std::shared_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) override;
    NotificationCenter& notificationCenter() override;

private:
    const PulsePlatformOptions options_;
    const std::shared_ptr<PulseNotificationCenter> notificationCenter_;
    const std::shared_ptr<ServerAccess> server_;
};

}  // namespace mivo::platform::pulse
