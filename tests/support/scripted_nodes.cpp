// Every node logs before it takes the platform's lock, so hooks may call back into the platform.

#include "support/scripted_nodes.h"

#include <algorithm>
#include <string>
#include <utility>

#include "support/platform_state.h"
#include "support/scripted_pcm_buffer.h"

namespace mivo::testing {

using platform::PlatformError;
using detail::PlatformState;
using detail::callTracked;
using detail::describedFault;

namespace {

std::string flag(bool value) { return value ? "1" : "0"; }

}  // namespace

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

size_t ScriptedPlayerNode::completeAll() { return completeIn(BufferState::scheduled); }

size_t ScriptedPlayerNode::completeDropped() { return completeIn(BufferState::dropped); }

size_t ScriptedPlayerNode::completeIn(BufferState state) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    std::vector<size_t> chosen;
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].info.state == state) chosen.push_back(i);
    }
    size_t fired = 0;
    for (size_t i : chosen) fired += fire(lock, i) ? 1 : 0;
    return fired;
}

}  // namespace mivo::testing
