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

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/audio_platform.h"

namespace mivo::testing {

namespace detail {
struct PlatformState;  // shared by the platform and every object it made
}

using platform::AudioFormat;
using platform::PCMBuffer;

// "48000/1", "16000/1 int16", "44100/2 interleaved"; rates that are not whole numbers print as %g.
std::string describe(const AudioFormat& format);

// ---------------------------------------------------------------------------------------------
// The call log: thread-safe, append-only until cleared.
class CallLog {
public:
    static constexpr size_t npos = std::numeric_limits<size_t>::max();

    void add(std::string entry);
    void clear();
    std::vector<std::string> entries() const;
    size_t size() const;
    // One entry per line, for failure messages.
    std::string dump() const;

    // Exact matches.
    size_t indexOf(std::string_view entry, size_t from = 0) const;
    size_t count(std::string_view entry) const;
    bool contains(std::string_view entry) const { return indexOf(entry) != npos; }
    // Matches by prefix ("player.scheduleBuffer" matches "player.scheduleBuffer 480").
    size_t indexOfPrefix(std::string_view prefix, size_t from = 0) const;
    size_t countPrefix(std::string_view prefix) const;
    std::vector<std::string> withPrefix(std::string_view prefix) const;
    // True when every entry occurs, exactly matched, in this order (others may come between).
    bool inOrder(std::initializer_list<std::string_view> sequence) const;
    // Waits until `entry` (exact) has been logged at least `occurrences` times; false at the timeout.
    bool waitFor(std::string_view entry, std::chrono::milliseconds timeout, size_t occurrences = 1) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable added_;
    std::vector<std::string> entries_;
};

// ---------------------------------------------------------------------------------------------
// A PCM buffer of any shape, including ones the real platform would refuse: 0 channels, or no
// sample memory at all (both data accessors answer null).
class ScriptedPCMBuffer final : public PCMBuffer {
public:
    ScriptedPCMBuffer(const AudioFormat& format, uint32_t frameCapacity, bool withSampleMemory = true);
    // Float samples, one vector per channel (all of the first one's length), frame length set.
    static std::shared_ptr<ScriptedPCMBuffer> fromChannels(const AudioFormat& format,
                                                           const std::vector<std::vector<float>>& channels);

    const AudioFormat& format() const override { return format_; }
    uint32_t frameCapacity() const override { return capacity_; }
    uint32_t frameLength() const override { return length_; }
    void setFrameLength(uint32_t frames) override { length_ = frames < capacity_ ? frames : capacity_; }
    float* const* floatChannelData() const override;
    int16_t* const* int16ChannelData() const override;

private:
    AudioFormat format_;
    uint32_t capacity_;
    uint32_t length_ = 0;
    bool hasMemory_;
    std::vector<std::vector<float>> floats_;
    std::vector<std::vector<int16_t>> ints_;
    std::vector<float*> floatPointers_;
    std::vector<int16_t*> intPointers_;
};

// The first frameLength samples of one channel; empty when the buffer has no data of that type.
std::vector<float> floatSamples(const PCMBuffer& buffer, uint32_t channel = 0);
std::vector<int16_t> int16Samples(const PCMBuffer& buffer, uint32_t channel = 0);

// ---------------------------------------------------------------------------------------------
// Which calls of an operation a fault applies to, counted from the moment the fault is set.
struct Calls {
    size_t skip = 0;                                    // calls that still succeed first
    size_t count = std::numeric_limits<size_t>::max();  // then this many are affected

    static Calls all() { return {}; }
    static Calls nth(size_t index) { return {index, 1}; }  // 0 = the next call
    static Calls first(size_t n) { return {0, n}; }
};

enum class BufferFault {
    null,            // makePCMBuffer yields nothing
    noSampleMemory,  // a buffer whose floatChannelData and int16ChannelData are null
};

// A makePCMBuffer fault, optionally only for buffers of one capacity and/or format; `calls` counts
// only the matching requests.
struct PCMBufferFault {
    BufferFault kind = BufferFault::null;
    std::optional<uint32_t> capacity;
    std::optional<AudioFormat> format;
    Calls calls;
};

// What one convert call answers instead of the default. With `produceOutput` the default
// conversion still fills the output buffer (so a test can prove the core ignores it on error).
struct ConvertScript {
    platform::ConverterOutputStatus status = platform::ConverterOutputStatus::error;
    std::optional<std::string> errorDescription;
    bool produceOutput = true;
};

// ---------------------------------------------------------------------------------------------
// The default conversion: output frame i takes input sample floor(i * rate / 16000), for every i
// whose input exists and that fits the capacity; samples become clamp(round(x * 32767)), NaN 0.
int16_t toInt16(float sample);
std::vector<int16_t> defaultConversion(const std::vector<float>& input, double inputRate, uint32_t capacity);

class ScriptedConverter final : public platform::AudioConverter {
public:
    // One call of the core's input block, as the converter saw it.
    struct Pull {
        uint32_t packetCount = 0;
        bool gaveBuffer = false;
        platform::ConverterInputStatus status = platform::ConverterInputStatus::noDataNow;
        AudioFormat format;                      // of the buffer given, if any
        std::vector<std::vector<float>> channels;  // copies of its samples (frameLength each)
    };
    struct Call {
        std::vector<Pull> pulls;
        AudioFormat outputFormat;
        uint32_t outputCapacity = 0;
        std::vector<int16_t> output;  // what was put into the output buffer
        platform::ConverterOutputStatus status = platform::ConverterOutputStatus::haveData;
        std::optional<std::string> errorDescription;
    };
    // The converter stops pulling once the block says anything but haveData, or after this many pulls.
    static constexpr size_t maxPullsPerConvert = 8;

    const AudioFormat& from() const { return from_; }
    const AudioFormat& to() const { return to_; }
    std::vector<Call> calls() const;
    // Channel 0 of every buffer the input block yielded, over all calls, in order.
    std::vector<float> fedSamples() const;

    platform::ConverterOutputStatus convert(PCMBuffer& output, std::optional<platform::PlatformError>& error,
                                            platform::ConverterInputBlock input) override;

    ScriptedConverter(std::shared_ptr<detail::PlatformState> platform, const AudioFormat& from, const AudioFormat& to);

private:
    std::shared_ptr<detail::PlatformState> state_;
    AudioFormat from_;
    AudioFormat to_;
    std::vector<Call> calls_;  // guarded by the platform's mutex
};

// ---------------------------------------------------------------------------------------------
// Counts the calls of one block that are in progress and on which threads, so that teardown can
// wait for other threads' calls to return without waiting for its own.
class InFlight {
public:
    void enter() { threads_.push_back(std::this_thread::get_id()); }
    void leave();
    bool onlyThisThread() const;

private:
    std::vector<std::thread::id> threads_;
};

class ScriptedEngine;

class ScriptedInputNode final : public platform::InputNode {
public:
    struct Tap {
        uint32_t bus = 0;
        uint32_t bufferSize = 0;
        AudioFormat format;
    };

    AudioFormat outputFormatForBus(uint32_t bus) const override;
    std::optional<platform::PlatformError> setVoiceProcessingEnabled(bool enabled) override;
    void setVoiceProcessingInputMuted(bool muted) override;
    void setVoiceProcessingBypassed(bool bypassed) override;
    void setVoiceProcessingAGCEnabled(bool enabled) override;
    void installTapOnBus(uint32_t bus, uint32_t bufferSize, const AudioFormat& format,
                         platform::TapBlock block) override;
    void removeTapOnBus(uint32_t bus) override;

    // Inspection: nullopt until the core set it.
    std::optional<bool> voiceProcessingEnabled() const;
    std::optional<bool> voiceProcessingInputMuted() const;
    std::optional<bool> voiceProcessingBypassed() const;
    std::optional<bool> voiceProcessingAGCEnabled() const;
    std::optional<Tap> installedTap() const;
    bool tapInstalled() const { return installedTap().has_value(); }
    size_t tapInstallCount() const;

    // Calls the installed tap on this thread and returns once it has returned; false (nothing
    // called) when no tap is installed. The buffer is float, at `sampleRate` (default: the tap's
    // rate), with as many channels as given.
    bool deliver(const std::vector<std::vector<float>>& channels, std::optional<double> sampleRate = {});
    bool deliver(const PCMBuffer& buffer);
    // Calls the most recently installed tap's block even though it was removed: breaks the
    // platform's guarantee on purpose, to show that a block outliving its instance is harmless.
    bool deliverToRemovedTap(const PCMBuffer& buffer);

    explicit ScriptedInputNode(std::shared_ptr<detail::PlatformState> platform);

private:
    friend class ScriptedEngine;
    void waitForTapCalls(std::unique_lock<std::mutex>& lock);

    std::shared_ptr<detail::PlatformState> state_;
    std::optional<bool> enabled_, muted_, bypassed_, agc_;
    std::optional<Tap> tap_;
    std::shared_ptr<platform::TapBlock> block_;  // of the installed tap, or of the last removed one
    size_t installs_ = 0;
    uint64_t deliveredFrames_ = 0;
    InFlight tapCalls_;
};

class ScriptedOutputNode final : public platform::OutputNode {
public:
    explicit ScriptedOutputNode(std::shared_ptr<detail::PlatformState> platform) : state_(std::move(platform)) {}
    AudioFormat outputFormatForBus(uint32_t bus) const override;

private:
    std::shared_ptr<detail::PlatformState> state_;
};

class ScriptedMixerNode final : public platform::MixerNode {
public:
    explicit ScriptedMixerNode(std::shared_ptr<detail::PlatformState> platform) : state_(std::move(platform)) {}
    AudioFormat outputFormatForBus(uint32_t bus) const override;

private:
    std::shared_ptr<detail::PlatformState> state_;
};

class ScriptedPlayerNode final : public platform::PlayerNode {
public:
    enum class BufferState {
        scheduled,             // waiting to be played
        completed,             // its handler ran as played back
        dropped,               // stop() or reset() dropped it; its handler has not run
        droppedThenCompleted,  // dropped, and a test fired its handler afterwards
    };
    struct Scheduled {
        size_t index = 0;  // in scheduling order, from 0, for this player
        std::shared_ptr<PCMBuffer> buffer;
        platform::CompletionCallbackType type = platform::CompletionCallbackType::dataConsumed;
        uint32_t frameLength = 0;    // at scheduling time
        std::vector<float> samples;  // channel 0 at scheduling time
        BufferState state = BufferState::scheduled;
    };

    AudioFormat outputFormatForBus(uint32_t bus) const override;
    void play() override;
    void stop() override;
    void reset() override;
    bool isPlaying() const override;
    void scheduleBuffer(std::shared_ptr<PCMBuffer> buffer, platform::CompletionCallbackType type,
                        platform::CompletionHandler handler) override;

    // Inspection without logging.
    bool playing() const;
    std::vector<Scheduled> scheduled() const;  // every buffer ever scheduled, in order
    size_t pendingCount() const;               // in state `scheduled`
    size_t scheduledCount() const;             // every buffer ever scheduled
    // One buffer's record, without copying the others; nullopt past the end.
    std::optional<Scheduled> scheduledAt(size_t index) const;

    // Completions, run on this thread; each handler runs at most once.
    bool completeNext();                    // the oldest buffer still scheduled
    bool complete(size_t index);            // a scheduled or a dropped buffer
    size_t completeAll();                   // every buffer still scheduled, oldest first
    size_t completeDropped();               // fires the handlers of dropped buffers
    // Fires a handler that has already run once more: breaks the platform's guarantee on purpose,
    // to show that a duplicated completion counts once. False when it has not run yet.
    bool completeAgain(size_t index);

    explicit ScriptedPlayerNode(std::shared_ptr<detail::PlatformState> platform) : state_(std::move(platform)) {}

private:
    struct Entry {
        Scheduled info;
        platform::CompletionHandler handler;
        platform::CompletionHandler spent;  // the handler once it has run, for completeAgain
    };
    bool fire(std::unique_lock<std::mutex>& lock, size_t index);
    void dropAndWait(std::unique_lock<std::mutex>& lock);

    std::shared_ptr<detail::PlatformState> state_;
    bool playing_ = false;
    std::vector<Entry> entries_;
    InFlight handlerCalls_;
};

class ScriptedEngine final : public platform::AudioEngine {
public:
    struct Connection {
        std::string from;
        std::string to;
        AudioFormat format;
    };

    std::shared_ptr<platform::InputNode> inputNode() override { return input_; }
    std::shared_ptr<platform::OutputNode> outputNode() override { return output_; }
    std::shared_ptr<platform::MixerNode> mainMixerNode() override { return mixer_; }
    void attachNode(const std::shared_ptr<platform::PlayerNode>& node) override;
    void connect(const std::shared_ptr<platform::AudioNode>& from, const std::shared_ptr<platform::AudioNode>& to,
                 const AudioFormat& format) override;
    void prepare() override;
    std::optional<platform::PlatformError> start() override;
    // Waits for tap calls in progress on other threads, like the real engine.
    void stop() override;

    size_t index() const { return index_; }  // in creation order, from 0
    ScriptedInputNode& input() { return *input_; }
    std::vector<std::shared_ptr<platform::PlayerNode>> attached() const;
    std::vector<Connection> connections() const;
    bool prepared() const;
    size_t startCount() const;  // successful starts
    size_t stopCount() const;
    bool running() const;       // started and not stopped since

    ScriptedEngine(std::shared_ptr<detail::PlatformState> platform, size_t index);

private:
    std::shared_ptr<detail::PlatformState> state_;
    size_t index_;
    std::shared_ptr<ScriptedInputNode> input_;
    std::shared_ptr<ScriptedOutputNode> output_;
    std::shared_ptr<ScriptedMixerNode> mixer_;
    std::vector<std::shared_ptr<platform::PlayerNode>> attached_;
    std::vector<Connection> connections_;
    bool prepared_ = false;
    bool running_ = false;
    size_t starts_ = 0;
    size_t stops_ = 0;
};

// ---------------------------------------------------------------------------------------------
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
