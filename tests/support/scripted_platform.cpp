#include "support/scripted_platform.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <utility>

namespace mivo::testing {

using platform::CommonFormat;
using platform::ConverterInputStatus;
using platform::ConverterOutputStatus;
using platform::PlatformError;

namespace detail {

struct DescribedFault {
    std::string description;
    Calls calls;
};

struct ObserverRecord {
    ScriptedPlatform::Observer info;
    std::function<void()> block;
    InFlight inFlight;
};

struct Hook {
    std::string prefix;
    std::function<void()> action;
    bool once = false;
};

struct PlatformState {
    std::mutex mutex;
    std::condition_variable returned;  // a tracked block call has returned
    CallLog log;

    std::map<uint32_t, std::pair<platform::OSStatus, platform::AudioObjectID>> devices;
    AudioFormat inputFormat = platform::standardFormat(48000, 1);
    AudioFormat outputFormat = platform::standardFormat(48000, 2);

    std::vector<DescribedFault> voiceProcessingFaults;
    std::vector<DescribedFault> engineStartFaults;
    std::vector<Calls> makeEngineFaults;
    std::vector<Calls> makePlayerFaults;
    std::vector<Calls> standardFormatFaults;
    std::vector<Calls> formatFaults;
    std::vector<Calls> converterFaults;
    std::vector<PCMBufferFault> bufferFaults;
    std::vector<std::pair<ConvertScript, Calls>> convertScripts;

    std::vector<ScriptedPlatform::DeviceQuery> queries;
    std::vector<std::shared_ptr<ScriptedEngine>> engines;
    std::vector<std::shared_ptr<ScriptedPlayerNode>> players;
    std::vector<std::shared_ptr<ScriptedConverter>> converters;
    std::vector<std::unique_ptr<ObserverRecord>> observers;  // stable addresses across growth
    std::vector<Hook> hooks;

    // Logs the entry, then runs the hooks it matches. Call with no lock held.
    void record(std::string entry) {
        std::vector<std::function<void()>> actions;
        {
            std::lock_guard<std::mutex> guard(mutex);
            for (auto it = hooks.begin(); it != hooks.end();) {
                if (std::string_view(entry).starts_with(it->prefix)) {
                    actions.push_back(it->action);
                    if (it->once) {
                        it = hooks.erase(it);
                        continue;
                    }
                }
                ++it;
            }
        }
        log.add(std::move(entry));
        for (auto& action : actions) action();
    }
};

}  // namespace detail

using detail::PlatformState;

namespace {

// Counts one call against a fault; true when this call is one the fault applies to.
bool takeCall(Calls& calls) {
    if (calls.skip > 0) {
        --calls.skip;
        return false;
    }
    if (calls.count == 0) return false;
    --calls.count;
    return true;
}

// Every fault counts every call; the call fails when any of them applies.
bool anyFault(std::vector<Calls>& faults) {
    bool fail = false;
    for (Calls& calls : faults) fail = takeCall(calls) || fail;
    return fail;
}

std::optional<std::string> describedFault(std::vector<detail::DescribedFault>& faults) {
    std::optional<std::string> description;
    for (auto& fault : faults) {
        if (takeCall(fault.calls) && !description) description = fault.description;
    }
    return description;
}

std::string number(double value) {
    char text[64];
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else {
        std::snprintf(text, sizeof text, "%g", value);
    }
    return text;
}

std::string flag(bool value) { return value ? "1" : "0"; }

std::string selectorName(uint32_t selector) {
    std::string name;
    for (int shift = 24; shift >= 0; shift -= 8) name += static_cast<char>((selector >> shift) & 0xff);
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name;
}

std::string nodeName(const platform::AudioNode* node) {
    if (dynamic_cast<const ScriptedInputNode*>(node)) return "input";
    if (dynamic_cast<const ScriptedOutputNode*>(node)) return "output";
    if (dynamic_cast<const ScriptedMixerNode*>(node)) return "mainMixer";
    if (dynamic_cast<const ScriptedPlayerNode*>(node)) return "player";
    return node ? "unknown" : "null";
}

// Runs one call of a tracked block with the lock released, so that teardown on another thread can
// wait for it; the lock is held again on return, also if the block throws.
template <typename Call>
void callTracked(std::unique_lock<std::mutex>& lock, InFlight& inFlight, std::condition_variable& returned,
                 Call&& call) {
    inFlight.enter();
    lock.unlock();
    struct Leave {
        std::unique_lock<std::mutex>& lock;
        InFlight& inFlight;
        std::condition_variable& returned;
        ~Leave() {
            lock.lock();
            inFlight.leave();
            returned.notify_all();
        }
    } leave{lock, inFlight, returned};
    call();
}

class ScriptedToken final : public platform::ObserverToken {
public:
    explicit ScriptedToken(size_t index) : index(index) {}
    const size_t index;
};

}  // namespace

std::string describe(const AudioFormat& format) {
    std::string text = number(format.sampleRate) + "/" + std::to_string(format.channelCount);
    if (format.commonFormat == CommonFormat::int16) text += " int16";
    if (format.interleaved) text += " interleaved";
    return text;
}

// --- CallLog -----------------------------------------------------------------------------------

void CallLog::add(std::string entry) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        entries_.push_back(std::move(entry));
    }
    added_.notify_all();
}

void CallLog::clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.clear();
}

std::vector<std::string> CallLog::entries() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_;
}

size_t CallLog::size() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_.size();
}

std::string CallLog::dump() const {
    std::string text;
    for (const auto& entry : entries()) text += entry + "\n";
    return text;
}

size_t CallLog::indexOf(std::string_view entry, size_t from) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (size_t i = from; i < entries_.size(); ++i) {
        if (entries_[i] == entry) return i;
    }
    return npos;
}

size_t CallLog::count(std::string_view entry) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<size_t>(std::count(entries_.begin(), entries_.end(), entry));
}

size_t CallLog::indexOfPrefix(std::string_view prefix, size_t from) const {
    std::lock_guard<std::mutex> guard(mutex_);
    for (size_t i = from; i < entries_.size(); ++i) {
        if (std::string_view(entries_[i]).starts_with(prefix)) return i;
    }
    return npos;
}

size_t CallLog::countPrefix(std::string_view prefix) const { return withPrefix(prefix).size(); }

std::vector<std::string> CallLog::withPrefix(std::string_view prefix) const {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::string> found;
    for (const auto& entry : entries_) {
        if (std::string_view(entry).starts_with(prefix)) found.push_back(entry);
    }
    return found;
}

bool CallLog::inOrder(std::initializer_list<std::string_view> sequence) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto next = sequence.begin();
    for (const auto& entry : entries_) {
        if (next == sequence.end()) break;
        if (entry == *next) ++next;
    }
    return next == sequence.end();
}

bool CallLog::waitFor(std::string_view entry, std::chrono::milliseconds timeout, size_t occurrences) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return added_.wait_for(lock, timeout, [&] {
        return static_cast<size_t>(std::count(entries_.begin(), entries_.end(), entry)) >= occurrences;
    });
}

// --- Buffers -----------------------------------------------------------------------------------

ScriptedPCMBuffer::ScriptedPCMBuffer(const AudioFormat& format, uint32_t frameCapacity, bool withSampleMemory)
    : format_(format), capacity_(frameCapacity), hasMemory_(withSampleMemory) {
    // At least one pointer slot, so a 0-channel buffer still has (empty) channel data.
    const size_t slots = std::max<size_t>(format.channelCount, 1);
    floatPointers_.assign(slots, nullptr);
    intPointers_.assign(slots, nullptr);
    if (!withSampleMemory) return;
    for (uint32_t c = 0; c < format.channelCount; ++c) {
        if (format.commonFormat == CommonFormat::int16) {
            ints_.emplace_back(frameCapacity, int16_t{0});
            intPointers_[c] = ints_.back().data();
        } else {
            floats_.emplace_back(frameCapacity, 0.0f);
            floatPointers_[c] = floats_.back().data();
        }
    }
}

std::shared_ptr<ScriptedPCMBuffer> ScriptedPCMBuffer::fromChannels(const AudioFormat& format,
                                                                   const std::vector<std::vector<float>>& channels) {
    const auto frames = static_cast<uint32_t>(channels.empty() ? 0 : channels.front().size());
    auto buffer = std::make_shared<ScriptedPCMBuffer>(format, frames);
    for (size_t c = 0; c < buffer->floats_.size() && c < channels.size(); ++c) {
        std::copy_n(channels[c].begin(), std::min<size_t>(frames, channels[c].size()), buffer->floats_[c].begin());
    }
    buffer->setFrameLength(frames);
    return buffer;
}

float* const* ScriptedPCMBuffer::floatChannelData() const {
    if (!hasMemory_ || format_.commonFormat != CommonFormat::float32) return nullptr;
    return floatPointers_.data();
}

int16_t* const* ScriptedPCMBuffer::int16ChannelData() const {
    if (!hasMemory_ || format_.commonFormat != CommonFormat::int16) return nullptr;
    return intPointers_.data();
}

std::vector<float> floatSamples(const PCMBuffer& buffer, uint32_t channel) {
    float* const* data = buffer.floatChannelData();
    if (!data || channel >= buffer.format().channelCount) return {};
    return std::vector<float>(data[channel], data[channel] + buffer.frameLength());
}

std::vector<int16_t> int16Samples(const PCMBuffer& buffer, uint32_t channel) {
    int16_t* const* data = buffer.int16ChannelData();
    if (!data || channel >= buffer.format().channelCount) return {};
    return std::vector<int16_t>(data[channel], data[channel] + buffer.frameLength());
}

// --- Converter ---------------------------------------------------------------------------------

int16_t toInt16(float sample) {
    if (std::isnan(sample)) return 0;
    const double scaled = std::round(double{sample} * 32767.0);
    return static_cast<int16_t>(std::clamp(scaled, -32768.0, 32767.0));
}

std::vector<int16_t> defaultConversion(const std::vector<float>& input, double inputRate, uint32_t capacity) {
    std::vector<int16_t> output;
    if (!(inputRate > 0)) return output;
    for (uint64_t i = 0; i < capacity; ++i) {
        const auto source = static_cast<uint64_t>(std::floor(static_cast<double>(i) * inputRate / 16000.0));
        if (source >= input.size()) break;
        output.push_back(toInt16(input[source]));
    }
    return output;
}

ScriptedConverter::ScriptedConverter(std::shared_ptr<PlatformState> platform, const AudioFormat& from,
                                     const AudioFormat& to)
    : state_(std::move(platform)), from_(from), to_(to) {}

std::vector<ScriptedConverter::Call> ScriptedConverter::calls() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return calls_;
}

std::vector<float> ScriptedConverter::fedSamples() const {
    std::vector<float> samples;
    for (const auto& call : calls()) {
        for (const auto& pull : call.pulls) {
            if (pull.gaveBuffer && !pull.channels.empty()) {
                samples.insert(samples.end(), pull.channels[0].begin(), pull.channels[0].end());
            }
        }
    }
    return samples;
}

ConverterOutputStatus ScriptedConverter::convert(PCMBuffer& output, std::optional<PlatformError>& error,
                                                 platform::ConverterInputBlock input) {
    state_->record("converter.convert");
    Call call;
    call.outputFormat = output.format();
    call.outputCapacity = output.frameCapacity();

    // Pull until the block has nothing more to give, so that a block that hands out its buffer
    // more than once shows up as repeated input.
    std::vector<float> fed;
    const double wanted = from_.sampleRate > 0 ? std::ceil(call.outputCapacity * from_.sampleRate / 16000.0) : 1;
    for (size_t i = 0; i < maxPullsPerConvert; ++i) {
        Pull pull;
        pull.packetCount = static_cast<uint32_t>(std::clamp(wanted - static_cast<double>(fed.size()), 1.0, 1e9));
        auto status = static_cast<ConverterInputStatus>(-1);  // tells a block that never set it
        PCMBuffer* buffer = input(pull.packetCount, status);
        pull.status = status;
        pull.gaveBuffer = buffer != nullptr;
        if (buffer) {
            pull.format = buffer->format();
            for (uint32_t c = 0; c < buffer->format().channelCount; ++c) {
                pull.channels.push_back(floatSamples(*buffer, c));
            }
        }
        const bool more = buffer && status == ConverterInputStatus::haveData;
        if (more && !pull.channels.empty()) fed.insert(fed.end(), pull.channels[0].begin(), pull.channels[0].end());
        call.pulls.push_back(std::move(pull));
        if (!more) break;
    }

    std::optional<ConvertScript> script;
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        for (auto& [candidate, calls] : state_->convertScripts) {
            if (takeCall(calls) && !script) script = candidate;
        }
    }

    std::vector<int16_t> produced;
    int16_t* const* destination = output.int16ChannelData();
    if ((!script || script->produceOutput) && destination) {
        produced = defaultConversion(fed, from_.sampleRate, output.frameCapacity());
        std::copy(produced.begin(), produced.end(), destination[0]);
    }
    output.setFrameLength(static_cast<uint32_t>(produced.size()));

    ConverterOutputStatus status =
        produced.empty() ? ConverterOutputStatus::inputRanDry : ConverterOutputStatus::haveData;
    if (script) {
        status = script->status;
        if (script->errorDescription) error = PlatformError{*script->errorDescription};
        call.errorDescription = script->errorDescription;
    }
    call.output = std::move(produced);
    call.status = status;
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        calls_.push_back(std::move(call));
    }
    return status;
}

// --- In-flight block calls ---------------------------------------------------------------------

void InFlight::leave() {
    auto it = std::find(threads_.begin(), threads_.end(), std::this_thread::get_id());
    if (it != threads_.end()) threads_.erase(it);
}

bool InFlight::onlyThisThread() const {
    const auto self = std::this_thread::get_id();
    return std::all_of(threads_.begin(), threads_.end(), [&](std::thread::id id) { return id == self; });
}

// --- Input node --------------------------------------------------------------------------------

ScriptedInputNode::ScriptedInputNode(std::shared_ptr<PlatformState> platform) : state_(std::move(platform)) {}

AudioFormat ScriptedInputNode::outputFormatForBus(uint32_t bus) const {
    state_->record("input.outputFormatForBus " + std::to_string(bus));
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->inputFormat;
}

std::optional<PlatformError> ScriptedInputNode::setVoiceProcessingEnabled(bool enabled) {
    state_->record("input.setVoiceProcessingEnabled " + flag(enabled));
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (auto description = describedFault(state_->voiceProcessingFaults)) return PlatformError{*description};
    enabled_ = enabled;
    return std::nullopt;
}

void ScriptedInputNode::setVoiceProcessingInputMuted(bool muted) {
    state_->record("input.setVoiceProcessingInputMuted " + flag(muted));
    std::lock_guard<std::mutex> guard(state_->mutex);
    muted_ = muted;
}

void ScriptedInputNode::setVoiceProcessingBypassed(bool bypassed) {
    state_->record("input.setVoiceProcessingBypassed " + flag(bypassed));
    std::lock_guard<std::mutex> guard(state_->mutex);
    bypassed_ = bypassed;
}

void ScriptedInputNode::setVoiceProcessingAGCEnabled(bool enabled) {
    state_->record("input.setVoiceProcessingAGCEnabled " + flag(enabled));
    std::lock_guard<std::mutex> guard(state_->mutex);
    agc_ = enabled;
}

void ScriptedInputNode::installTapOnBus(uint32_t bus, uint32_t bufferSize, const AudioFormat& format,
                                        platform::TapBlock block) {
    state_->record("input.installTapOnBus " + std::to_string(bus) + " " + std::to_string(bufferSize));
    std::lock_guard<std::mutex> guard(state_->mutex);
    tap_ = Tap{bus, bufferSize, format};
    block_ = std::make_shared<platform::TapBlock>(std::move(block));
    ++installs_;
}

void ScriptedInputNode::removeTapOnBus(uint32_t bus) {
    state_->record("input.removeTapOnBus " + std::to_string(bus));
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (tap_ && tap_->bus == bus) tap_.reset();
    waitForTapCalls(lock);
}

void ScriptedInputNode::waitForTapCalls(std::unique_lock<std::mutex>& lock) {
    state_->returned.wait(lock, [&] { return tapCalls_.onlyThisThread(); });
}

std::optional<bool> ScriptedInputNode::voiceProcessingEnabled() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return enabled_;
}

std::optional<bool> ScriptedInputNode::voiceProcessingInputMuted() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return muted_;
}

std::optional<bool> ScriptedInputNode::voiceProcessingBypassed() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return bypassed_;
}

std::optional<bool> ScriptedInputNode::voiceProcessingAGCEnabled() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return agc_;
}

std::optional<ScriptedInputNode::Tap> ScriptedInputNode::installedTap() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return tap_;
}

size_t ScriptedInputNode::tapInstallCount() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return installs_;
}

bool ScriptedInputNode::deliver(const std::vector<std::vector<float>>& channels, std::optional<double> sampleRate) {
    const std::optional<Tap> tap = installedTap();
    if (!tap) return false;
    AudioFormat format = tap->format;
    format.channelCount = static_cast<uint32_t>(channels.size());
    if (sampleRate) format.sampleRate = *sampleRate;
    return deliver(*ScriptedPCMBuffer::fromChannels(format, channels));
}

bool ScriptedInputNode::deliver(const PCMBuffer& buffer) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (!tap_ || !block_) return false;
    const auto block = block_;
    const platform::AudioTime when{deliveredFrames_, buffer.format().sampleRate};
    deliveredFrames_ += buffer.frameLength();
    callTracked(lock, tapCalls_, state_->returned, [&] { (*block)(buffer, when); });
    return true;
}

bool ScriptedInputNode::deliverToRemovedTap(const PCMBuffer& buffer) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (!block_) return false;
    const auto block = block_;
    const platform::AudioTime when{deliveredFrames_, buffer.format().sampleRate};
    callTracked(lock, tapCalls_, state_->returned, [&] { (*block)(buffer, when); });
    return true;
}

// --- Output, mixer ----------------------------------------------------------------------------

AudioFormat ScriptedOutputNode::outputFormatForBus(uint32_t bus) const {
    state_->record("output.outputFormatForBus " + std::to_string(bus));
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->outputFormat;
}

AudioFormat ScriptedMixerNode::outputFormatForBus(uint32_t bus) const {
    state_->record("mainMixer.outputFormatForBus " + std::to_string(bus));
    return platform::standardFormat(48000, 2);
}

// --- Player ------------------------------------------------------------------------------------

AudioFormat ScriptedPlayerNode::outputFormatForBus(uint32_t bus) const {
    state_->record("player.outputFormatForBus " + std::to_string(bus));
    return platform::standardFormat(48000, 1);
}

void ScriptedPlayerNode::play() {
    state_->record("player.play");
    std::lock_guard<std::mutex> guard(state_->mutex);
    playing_ = true;
}

void ScriptedPlayerNode::stop() {
    state_->record("player.stop");
    std::unique_lock<std::mutex> lock(state_->mutex);
    playing_ = false;
    dropAndWait(lock);
}

void ScriptedPlayerNode::reset() {
    state_->record("player.reset");
    std::unique_lock<std::mutex> lock(state_->mutex);
    dropAndWait(lock);
}

void ScriptedPlayerNode::dropAndWait(std::unique_lock<std::mutex>& lock) {
    for (auto& entry : entries_) {
        if (entry.info.state == BufferState::scheduled) entry.info.state = BufferState::dropped;
    }
    state_->returned.wait(lock, [&] { return handlerCalls_.onlyThisThread(); });
}

bool ScriptedPlayerNode::isPlaying() const {
    state_->record("player.isPlaying");
    std::lock_guard<std::mutex> guard(state_->mutex);
    return playing_;
}

void ScriptedPlayerNode::scheduleBuffer(std::shared_ptr<PCMBuffer> buffer, platform::CompletionCallbackType type,
                                        platform::CompletionHandler handler) {
    state_->record("player.scheduleBuffer " + std::to_string(buffer ? buffer->frameLength() : 0));
    std::lock_guard<std::mutex> guard(state_->mutex);
    Entry entry;
    entry.info.index = entries_.size();
    entry.info.type = type;
    if (buffer) {
        entry.info.frameLength = buffer->frameLength();
        entry.info.samples = floatSamples(*buffer);
    }
    entry.info.buffer = std::move(buffer);
    entry.handler = std::move(handler);
    entries_.push_back(std::move(entry));
}

bool ScriptedPlayerNode::playing() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return playing_;
}

std::vector<ScriptedPlayerNode::Scheduled> ScriptedPlayerNode::scheduled() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    std::vector<Scheduled> list;
    for (const auto& entry : entries_) list.push_back(entry.info);
    return list;
}

size_t ScriptedPlayerNode::pendingCount() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return static_cast<size_t>(std::count_if(entries_.begin(), entries_.end(), [](const Entry& entry) {
        return entry.info.state == BufferState::scheduled;
    }));
}

size_t ScriptedPlayerNode::scheduledCount() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return entries_.size();
}

std::optional<ScriptedPlayerNode::Scheduled> ScriptedPlayerNode::scheduledAt(size_t index) const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (index >= entries_.size()) return std::nullopt;
    return entries_[index].info;
}

bool ScriptedPlayerNode::fire(std::unique_lock<std::mutex>& lock, size_t index) {
    if (index >= entries_.size()) return false;
    Entry& entry = entries_[index];
    if (entry.info.state == BufferState::scheduled) {
        entry.info.state = BufferState::completed;
    } else if (entry.info.state == BufferState::dropped) {
        entry.info.state = BufferState::droppedThenCompleted;
    } else {
        return false;
    }
    platform::CompletionHandler handler = std::move(entry.handler);
    entry.spent = handler;
    const platform::CompletionCallbackType type = entry.info.type;
    if (handler) callTracked(lock, handlerCalls_, state_->returned, [&] { handler(type); });
    return true;
}

bool ScriptedPlayerNode::completeAgain(size_t index) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (index >= entries_.size() || !entries_[index].spent) return false;
    platform::CompletionHandler handler = entries_[index].spent;
    const platform::CompletionCallbackType type = entries_[index].info.type;
    callTracked(lock, handlerCalls_, state_->returned, [&] { handler(type); });
    return true;
}

bool ScriptedPlayerNode::completeNext() {
    std::unique_lock<std::mutex> lock(state_->mutex);
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].info.state == BufferState::scheduled) return fire(lock, i);
    }
    return false;
}

bool ScriptedPlayerNode::complete(size_t index) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return fire(lock, index);
}

size_t ScriptedPlayerNode::completeAll() {
    std::unique_lock<std::mutex> lock(state_->mutex);
    std::vector<size_t> pending;
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].info.state == BufferState::scheduled) pending.push_back(i);
    }
    size_t fired = 0;
    for (size_t i : pending) fired += fire(lock, i) ? 1 : 0;
    return fired;
}

size_t ScriptedPlayerNode::completeDropped() {
    std::unique_lock<std::mutex> lock(state_->mutex);
    std::vector<size_t> dropped;
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].info.state == BufferState::dropped) dropped.push_back(i);
    }
    size_t fired = 0;
    for (size_t i : dropped) fired += fire(lock, i) ? 1 : 0;
    return fired;
}

// --- Engine ------------------------------------------------------------------------------------

ScriptedEngine::ScriptedEngine(std::shared_ptr<PlatformState> platform, size_t index)
    : state_(std::move(platform)),
      index_(index),
      input_(std::make_shared<ScriptedInputNode>(state_)),
      output_(std::make_shared<ScriptedOutputNode>(state_)),
      mixer_(std::make_shared<ScriptedMixerNode>(state_)) {}

void ScriptedEngine::attachNode(const std::shared_ptr<platform::PlayerNode>& node) {
    state_->record("engine.attachNode");
    std::lock_guard<std::mutex> guard(state_->mutex);
    attached_.push_back(node);
}

void ScriptedEngine::connect(const std::shared_ptr<platform::AudioNode>& from,
                             const std::shared_ptr<platform::AudioNode>& to, const AudioFormat& format) {
    Connection connection{nodeName(from.get()), nodeName(to.get()), format};
    state_->record("engine.connect " + connection.from + " " + connection.to + " " + describe(format));
    std::lock_guard<std::mutex> guard(state_->mutex);
    connections_.push_back(std::move(connection));
}

void ScriptedEngine::prepare() {
    state_->record("engine.prepare");
    std::lock_guard<std::mutex> guard(state_->mutex);
    prepared_ = true;
}

std::optional<PlatformError> ScriptedEngine::start() {
    state_->record("engine.start");
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (auto description = describedFault(state_->engineStartFaults)) return PlatformError{*description};
    running_ = true;
    ++starts_;
    return std::nullopt;
}

void ScriptedEngine::stop() {
    state_->record("engine.stop");
    std::unique_lock<std::mutex> lock(state_->mutex);
    running_ = false;
    ++stops_;
    input_->waitForTapCalls(lock);
}

std::vector<std::shared_ptr<platform::PlayerNode>> ScriptedEngine::attached() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return attached_;
}

std::vector<ScriptedEngine::Connection> ScriptedEngine::connections() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return connections_;
}

bool ScriptedEngine::prepared() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return prepared_;
}

size_t ScriptedEngine::startCount() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return starts_;
}

size_t ScriptedEngine::stopCount() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return stops_;
}

bool ScriptedEngine::running() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return running_;
}

// --- Platform ----------------------------------------------------------------------------------

ScriptedPlatform::ScriptedPlatform() : state_(std::make_shared<PlatformState>()) {
    state_->devices[platform::defaultInputDeviceSelector] = {0, 40};
    state_->devices[platform::defaultOutputDeviceSelector] = {0, 41};
}

ScriptedPlatform::~ScriptedPlatform() {
    // The objects made hold the shared state; let go of them so the state can go too.
    std::vector<std::shared_ptr<ScriptedEngine>> engines;
    std::vector<std::shared_ptr<ScriptedPlayerNode>> players;
    std::vector<std::shared_ptr<ScriptedConverter>> converters;
    std::vector<std::unique_ptr<detail::ObserverRecord>> observers;
    std::vector<detail::Hook> hooks;
    std::lock_guard<std::mutex> guard(state_->mutex);
    engines.swap(state_->engines);
    players.swap(state_->players);
    converters.swap(state_->converters);
    observers.swap(state_->observers);
    hooks.swap(state_->hooks);
}

CallLog& ScriptedPlatform::log() { return state_->log; }

void ScriptedPlatform::setDevice(uint32_t selector, platform::OSStatus status, platform::AudioObjectID id) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->devices[selector] = {status, id};
}

void ScriptedPlatform::setInputDevice(platform::OSStatus status, platform::AudioObjectID id) {
    setDevice(platform::defaultInputDeviceSelector, status, id);
}

void ScriptedPlatform::setOutputDevice(platform::OSStatus status, platform::AudioObjectID id) {
    setDevice(platform::defaultOutputDeviceSelector, status, id);
}

void ScriptedPlatform::setInputFormat(const AudioFormat& format) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->inputFormat = format;
}

void ScriptedPlatform::setOutputFormat(const AudioFormat& format) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->outputFormat = format;
}

void ScriptedPlatform::failVoiceProcessing(std::string description, Calls calls) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->voiceProcessingFaults.push_back({std::move(description), calls});
}

void ScriptedPlatform::failEngineStart(std::string description, Calls calls) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->engineStartFaults.push_back({std::move(description), calls});
}

void ScriptedPlatform::failMakeEngine(Calls calls) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->makeEngineFaults.push_back(calls);
}

void ScriptedPlatform::failMakePlayerNode(Calls calls) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->makePlayerFaults.push_back(calls);
}

void ScriptedPlatform::failMakeStandardFormat(Calls calls) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->standardFormatFaults.push_back(calls);
}

void ScriptedPlatform::failMakeFormat(Calls calls) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->formatFaults.push_back(calls);
}

void ScriptedPlatform::failMakeConverter(Calls calls) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->converterFaults.push_back(calls);
}

void ScriptedPlatform::failPCMBuffers(PCMBufferFault fault) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->bufferFaults.push_back(std::move(fault));
}

void ScriptedPlatform::scriptConvert(ConvertScript script, Calls calls) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->convertScripts.emplace_back(std::move(script), calls);
}

void ScriptedPlatform::clearFaults() {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->voiceProcessingFaults.clear();
    state_->engineStartFaults.clear();
    state_->makeEngineFaults.clear();
    state_->makePlayerFaults.clear();
    state_->standardFormatFaults.clear();
    state_->formatFaults.clear();
    state_->converterFaults.clear();
    state_->bufferFaults.clear();
    state_->convertScripts.clear();
}

std::vector<ScriptedPlatform::DeviceQuery> ScriptedPlatform::deviceQueries() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->queries;
}

std::vector<std::shared_ptr<ScriptedEngine>> ScriptedPlatform::engines() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->engines;
}

std::shared_ptr<ScriptedEngine> ScriptedPlatform::currentEngine() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->engines.empty() ? nullptr : state_->engines.back();
}

std::vector<std::shared_ptr<ScriptedPlayerNode>> ScriptedPlatform::players() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->players;
}

std::shared_ptr<ScriptedPlayerNode> ScriptedPlatform::currentPlayer() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->players.empty() ? nullptr : state_->players.back();
}

std::vector<std::shared_ptr<ScriptedConverter>> ScriptedPlatform::converters() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->converters;
}

std::shared_ptr<ScriptedConverter> ScriptedPlatform::currentConverter() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->converters.empty() ? nullptr : state_->converters.back();
}

std::vector<ScriptedPlatform::Observer> ScriptedPlatform::observers() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    std::vector<Observer> list;
    for (const auto& record : state_->observers) list.push_back(record->info);
    return list;
}

size_t ScriptedPlatform::registeredObserverCount() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return static_cast<size_t>(std::count_if(state_->observers.begin(), state_->observers.end(),
                                             [](const auto& record) { return record->info.registered; }));
}

bool ScriptedPlatform::observerRegisteredFor(const platform::AudioEngine& engine) const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return std::any_of(state_->observers.begin(), state_->observers.end(), [&](const auto& record) {
        return record->info.registered && record->info.object == &engine;
    });
}

bool ScriptedPlatform::deliverTap(const std::vector<std::vector<float>>& channels, std::optional<double> sampleRate) {
    const auto engine = currentEngine();
    return engine && engine->input().deliver(channels, sampleRate);
}

size_t ScriptedPlatform::post(std::string_view name, const void* object) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    std::vector<detail::ObserverRecord*> matching;
    for (const auto& record : state_->observers) {
        if (record->info.registered && record->info.name == name && record->info.object == object) {
            matching.push_back(record.get());
        }
    }
    size_t called = 0;
    for (detail::ObserverRecord* record : matching) {
        if (!record->info.registered) continue;  // removed by an earlier block of this post
        ++record->info.calls;
        ++called;
        const auto block = record->block;
        callTracked(lock, record->inFlight, state_->returned, [&] { block(); });
    }
    return called;
}

size_t ScriptedPlatform::postConfigurationChange() {
    const auto engine = currentEngine();
    return engine ? postConfigurationChange(*engine) : 0;
}

size_t ScriptedPlatform::postConfigurationChange(const platform::AudioEngine& engine) {
    return post(platform::engineConfigurationChangeNotification, &engine);
}

bool ScriptedPlatform::postToRemovedObserver(size_t index) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (index >= state_->observers.size()) return false;
    detail::ObserverRecord* record = state_->observers[index].get();
    const auto block = record->block;
    callTracked(lock, record->inFlight, state_->returned, [&] { block(); });
    return true;
}

void ScriptedPlatform::onEveryCall(std::string prefix, std::function<void()> action) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->hooks.push_back({std::move(prefix), std::move(action), false});
}

void ScriptedPlatform::onNextCall(std::string prefix, std::function<void()> action) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->hooks.push_back({std::move(prefix), std::move(action), true});
}

void ScriptedPlatform::clearHooks() {
    std::vector<detail::Hook> hooks;
    std::lock_guard<std::mutex> guard(state_->mutex);
    hooks.swap(state_->hooks);
}

platform::OSStatus ScriptedPlatform::getPropertyData(platform::AudioObjectID object,
                                                     const platform::PropertyAddress& address, uint32_t qualifierSize,
                                                     const void* qualifier, uint32_t& dataSize, void* data) {
    state_->record("getPropertyData " + selectorName(address.selector));
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->queries.push_back({object, address, qualifierSize, qualifier, dataSize});
    const auto found = state_->devices.find(address.selector);
    if (found == state_->devices.end()) return static_cast<platform::OSStatus>(platform::fourCharCode("who?"));
    const auto [status, id] = found->second;
    if (data && dataSize >= sizeof id) {
        *static_cast<platform::AudioObjectID*>(data) = id;
        dataSize = sizeof id;
    }
    return status;
}

std::shared_ptr<platform::AudioEngine> ScriptedPlatform::makeEngine() {
    state_->record("makeEngine");
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (anyFault(state_->makeEngineFaults)) return nullptr;
    auto engine = std::make_shared<ScriptedEngine>(state_, state_->engines.size());
    state_->engines.push_back(engine);
    return engine;
}

std::shared_ptr<platform::PlayerNode> ScriptedPlatform::makePlayerNode() {
    state_->record("makePlayerNode");
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (anyFault(state_->makePlayerFaults)) return nullptr;
    auto player = std::make_shared<ScriptedPlayerNode>(state_);
    state_->players.push_back(player);
    return player;
}

std::shared_ptr<const AudioFormat> ScriptedPlatform::makeStandardFormat(double sampleRate, uint32_t channels) {
    state_->record("makeStandardFormat " + number(sampleRate) + " " + std::to_string(channels));
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (anyFault(state_->standardFormatFaults)) return nullptr;
    return std::make_shared<const AudioFormat>(platform::standardFormat(sampleRate, channels));
}

std::shared_ptr<PCMBuffer> ScriptedPlatform::makePCMBuffer(const AudioFormat& format, uint32_t frameCapacity) {
    state_->record("makePCMBuffer " + describe(format) + " " + std::to_string(frameCapacity));
    std::optional<BufferFault> fault;
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        for (auto& candidate : state_->bufferFaults) {
            if (candidate.capacity && *candidate.capacity != frameCapacity) continue;
            if (candidate.format && *candidate.format != format) continue;
            if (takeCall(candidate.calls) && !fault) fault = candidate.kind;
        }
    }
    if (fault == BufferFault::null) return nullptr;
    if (fault == BufferFault::noSampleMemory) return std::make_shared<ScriptedPCMBuffer>(format, frameCapacity, false);
    // The real buffer, which refuses absurd sizes rather than allocate them.
    return platform::OwnedPCMBuffer::make(format, frameCapacity);
}

std::shared_ptr<platform::AudioConverter> ScriptedPlatform::makeConverter(const AudioFormat& from,
                                                                          const AudioFormat& to) {
    state_->record("makeConverter");
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (anyFault(state_->converterFaults)) return nullptr;
    auto converter = std::make_shared<ScriptedConverter>(state_, from, to);
    state_->converters.push_back(converter);
    return converter;
}

std::shared_ptr<platform::ObserverToken> ScriptedPlatform::addObserver(std::string_view name, const void* object,
                                                                       std::function<void()> block) {
    state_->record("addObserver");
    std::lock_guard<std::mutex> guard(state_->mutex);
    auto record = std::make_unique<detail::ObserverRecord>();
    record->info.index = state_->observers.size();
    record->info.name = std::string(name);
    record->info.object = object;
    record->info.registered = true;
    record->block = std::move(block);
    state_->observers.push_back(std::move(record));
    return std::make_shared<ScriptedToken>(state_->observers.size() - 1);
}

void ScriptedPlatform::removeObserver(const std::shared_ptr<platform::ObserverToken>& token) {
    state_->record("removeObserver");
    const auto scripted = std::dynamic_pointer_cast<ScriptedToken>(token);
    std::unique_lock<std::mutex> lock(state_->mutex);
    if (!scripted || scripted->index >= state_->observers.size()) return;
    detail::ObserverRecord* record = state_->observers[scripted->index].get();
    record->info.registered = false;
    state_->returned.wait(lock, [&] { return record->inFlight.onlyThisThread(); });
}

}  // namespace mivo::testing
