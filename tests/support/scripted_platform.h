#pragma once

// A deterministic audio platform for tests. Nothing happens on its own: every tap buffer, player
// completion and configuration-change notification is delivered by the test, on the thread that
// asks for it. Every operation the core performs is recorded, in order, in a readable call log.
//
// Call-log entries (exact text):
//   getPropertyData dIn | getPropertyData dOut      makeEngine        makePlayerNode
//   makeStandardFormat <rate> <channels>
//   makePCMBuffer <format> <capacity>               makeConverter     converter.convert
//   addObserver        removeObserver
//   input.setVoiceProcessingEnabled <0|1>   input.setVoiceProcessingInputMuted <0|1>
//   input.setVoiceProcessingBypassed <0|1>  input.setVoiceProcessingAGCEnabled <0|1>
//   input.outputFormatForBus <bus>   output.outputFormatForBus <bus>   (also mainMixer., player.)
//   input.installTapOnBus <bus> <size>      input.removeTapOnBus <bus>
//   engine.attachNode   engine.connect <from> <to> <format>   engine.prepare   engine.start   engine.stop
//   player.play   player.stop   player.reset   player.isPlaying   player.scheduleBuffer <frames>
// where <format> is "<rate>/<channels>" for 32-bit float non-interleaved audio, with " int16" and/or
// " interleaved" appended otherwise (e.g. "48000/1", "16000/1 int16"), and node names are input,
// output, mainMixer and player. Plain accessors (inputNode(), notificationCenter(), ...) are not logged.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/audio_platform.h"
#include "support/call_log.h"
#include "support/in_flight.h"
#include "support/scripted_converter.h"
#include "support/scripted_engine.h"
#include "support/scripted_faults.h"
#include "support/scripted_nodes.h"
#include "support/scripted_pcm_buffer.h"

namespace mivo::testing {

namespace detail {
struct PlatformState;  // shared by the platform and every object it made
}

using platform::AudioFormat;
using platform::PCMBuffer;

class ScriptedPlatform final : public platform::AudioPlatform, public platform::NotificationCenter {
public:
    struct DeviceQuery {
        platform::AudioObjectID object = 0;
        platform::PropertyAddress address;
        uint32_t qualifierSize = 0;
        const void* qualifier = nullptr;
        uint32_t dataSize = 0;  // as passed in
    };
    struct Observer {
        size_t index = 0;  // in registration order
        std::string name;
        const void* object = nullptr;
        bool registered = false;
        size_t calls = 0;
    };

    // Defaults: both devices present (ids 40 and 41), input 48000 Hz mono, output 48000 Hz stereo,
    // nothing fails.
    ScriptedPlatform();
    ~ScriptedPlatform() override;

    // --- What the platform answers -----------------------------------------------------------
    // The status and id answered for a selector; the id is written even with a non-zero status.
    void setDevice(uint32_t selector, platform::OSStatus status, platform::AudioObjectID id);
    void setInputDevice(platform::OSStatus status, platform::AudioObjectID id);
    void setOutputDevice(platform::OSStatus status, platform::AudioObjectID id);
    // Read at every outputFormatForBus call, by every engine.
    void setInputFormat(const AudioFormat& format);
    void setOutputFormat(const AudioFormat& format);

    // --- Faults --------------------------------------------------------------------------------
    void failVoiceProcessing(std::string description, Calls calls = Calls::all());
    void failEngineStart(std::string description, Calls calls = Calls::all());
    void failMakeEngine(Calls calls = Calls::all());
    void failMakePlayerNode(Calls calls = Calls::all());
    void failMakeStandardFormat(Calls calls = Calls::all());
    void failMakeFormat(Calls calls = Calls::all());
    void failMakeConverter(Calls calls = Calls::all());
    void failPCMBuffers(PCMBufferFault fault);
    // Convert calls of any converter, counted from now; the first matching script decides.
    void scriptConvert(ConvertScript script, Calls calls = Calls::all());
    void clearFaults();

    // --- Records -------------------------------------------------------------------------------
    CallLog& log();
    std::vector<DeviceQuery> deviceQueries() const;
    std::vector<std::shared_ptr<ScriptedEngine>> engines() const;
    std::shared_ptr<ScriptedEngine> currentEngine() const;  // the most recently made one, or null
    std::vector<std::shared_ptr<ScriptedPlayerNode>> players() const;
    std::shared_ptr<ScriptedPlayerNode> currentPlayer() const;
    std::vector<std::shared_ptr<ScriptedConverter>> converters() const;
    std::shared_ptr<ScriptedConverter> currentConverter() const;
    std::vector<Observer> observers() const;
    size_t registeredObserverCount() const;
    bool observerRegisteredFor(const platform::AudioEngine& engine) const;

    // --- Deliveries, on the calling thread -----------------------------------------------------
    // To the current engine's tap; false when it has none installed.
    bool deliverTap(const std::vector<std::vector<float>>& channels, std::optional<double> sampleRate = {});
    // Calls every registered observer of that name whose object matches; returns how many ran.
    size_t post(std::string_view name, const void* object);
    size_t postConfigurationChange();  // for the current engine
    size_t postConfigurationChange(const platform::AudioEngine& engine);
    // Calls a removed observer's block anyway (see ScriptedInputNode::deliverToRemovedTap).
    bool postToRemovedObserver(size_t index);

    // --- Hooks: run on the calling thread right after an entry with this prefix is logged, before
    // the operation takes effect, with no platform lock held.
    void onEveryCall(std::string prefix, std::function<void()> action);
    void onNextCall(std::string prefix, std::function<void()> action);
    void clearHooks();

    // --- AudioPlatform -------------------------------------------------------------------------
    platform::OSStatus getPropertyData(platform::AudioObjectID object, const platform::PropertyAddress& address,
                                       uint32_t qualifierSize, const void* qualifier, uint32_t& dataSize,
                                       void* data) override;
    std::shared_ptr<platform::AudioEngine> makeEngine() override;
    std::shared_ptr<platform::PlayerNode> makePlayerNode() override;
    std::shared_ptr<const AudioFormat> makeStandardFormat(double sampleRate, uint32_t channels) override;
    std::shared_ptr<PCMBuffer> makePCMBuffer(const AudioFormat& format, uint32_t frameCapacity) override;
    std::shared_ptr<platform::AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) override;
    platform::NotificationCenter& notificationCenter() override { return *this; }

    // --- NotificationCenter --------------------------------------------------------------------
    std::shared_ptr<platform::ObserverToken> addObserver(std::string_view name, const void* object,
                                                         std::function<void()> block) override;
    void removeObserver(const std::shared_ptr<platform::ObserverToken>& token) override;

private:
    std::shared_ptr<detail::PlatformState> state_;
};

}  // namespace mivo::testing
