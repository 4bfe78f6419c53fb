#include "platform/pulse/pulse_platform.h"

#include <cmath>
#include <cstring>

#include "platform/pulse/pulse_engine.h"
#include "platform/pulse/pulse_notification_center.h"
#include "platform/pulse/pulse_player_node.h"
#include "platform/pulse/server_access.h"
#include "platform/pulse/soxr_converter.h"

namespace mivo::platform::pulse {

namespace {

bool isSensible(CommonFormat commonFormat, double sampleRate, uint32_t channels) {
    return (commonFormat == CommonFormat::float32 || commonFormat == CommonFormat::int16) && channels > 0 &&
           std::isfinite(sampleRate) && sampleRate > 0;
}

}  // namespace

PulsePlatform::PulsePlatform(PulsePlatformOptions options)
    : options_(std::move(options)),
      notificationCenter_(std::make_shared<PulseNotificationCenter>()),
      server_(std::make_shared<ServerAccess>(options_.queryTimeout)) {}

PulsePlatform::~PulsePlatform() = default;

OSStatus PulsePlatform::getPropertyData(AudioObjectID object, const PropertyAddress& address, uint32_t,
                                        const void*, uint32_t& dataSize, void* data) {
    if (object != systemObject) return statusBadObject;
    const bool input = address.selector == defaultInputDeviceSelector;
    if (!input && address.selector != defaultOutputDeviceSelector) return statusUnknownProperty;
    if (dataSize < sizeof(AudioObjectID) || !data) return statusBadSize;

    const auto devices = server_->defaults();
    if (!devices) return statusNoServer;
    const auto& device = input ? devices->source : devices->sink;
    if (!device) return statusNoDevice;
    // Index 0 is a real device; the interface reserves id 0 for "none".
    const AudioObjectID id = device->index + 1;
    std::memcpy(data, &id, sizeof(id));
    dataSize = sizeof(id);
    return 0;
}

std::shared_ptr<AudioEngine> PulsePlatform::makeEngine() {
    return PulseEngine::create(notificationCenter_, server_, options_);
}

std::shared_ptr<PlayerNode> PulsePlatform::makePlayerNode() { return std::make_shared<PulsePlayerNode>(); }

std::shared_ptr<const AudioFormat> PulsePlatform::makeStandardFormat(double sampleRate, uint32_t channels) {
    if (!isSensible(CommonFormat::float32, sampleRate, channels)) return nullptr;
    return std::make_shared<const AudioFormat>(standardFormat(sampleRate, channels));
}

std::shared_ptr<PCMBuffer> PulsePlatform::makePCMBuffer(const AudioFormat& format, uint32_t frameCapacity) {
    if (!isSensible(format.commonFormat, format.sampleRate, format.channelCount)) return nullptr;
    return OwnedPCMBuffer::make(format, frameCapacity);
}

std::shared_ptr<AudioConverter> PulsePlatform::makeConverter(const AudioFormat& from, const AudioFormat& to) {
    return makeSoxrConverter(from, to);
}

NotificationCenter& PulsePlatform::notificationCenter() { return *notificationCenter_; }

}  // namespace mivo::platform::pulse
