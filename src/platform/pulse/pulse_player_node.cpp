#include "platform/pulse/pulse_player_node.h"

#include <algorithm>

#include "platform/pulse/frame_format.h"
#include "platform/pulse/pulse_engine.h"

namespace mivo::platform::pulse {

PulsePlayerNode::PulsePlayerNode() : format_(standardFormat(renderRate, 1)), queue_(initialSlots) {
    retired_.reserve(initialSlots);
}

PulsePlayerNode::~PulsePlayerNode() = default;

AudioFormat PulsePlayerNode::outputFormatForBus(uint32_t) const {
    std::lock_guard<std::mutex> hold(mutex_);
    return format_;
}

void PulsePlayerNode::attachTo(const std::shared_ptr<PulseEngine>& engine) {
    std::lock_guard<std::mutex> hold(mutex_);
    engine_ = engine;
}

void PulsePlayerNode::setFormat(const AudioFormat& format) {
    std::lock_guard<std::mutex> hold(mutex_);
    format_ = format;
}

std::shared_ptr<PulseEngine> PulsePlayerNode::engine() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return engine_.lock();
}

void PulsePlayerNode::play() { playing_.store(true, std::memory_order_release); }

void PulsePlayerNode::stop() { drop(true); }

void PulsePlayerNode::reset() { drop(false); }

void PulsePlayerNode::drop(bool stopPlaying) {
    // Allocated here, so that nothing is allocated while the audio thread may wait for the lock.
    SlotRing<Entry> dropped(initialSlots);
    std::vector<Entry> retired;
    retired.reserve(initialSlots);
    const std::shared_ptr<PulseEngine> engine = this->engine();
    {
        // No completion handler is running while the exclusion is held, and none of the dropped
        // buffers' handlers can run after it.
        auto exclusion = engine ? engine->excludeCallbacks() : PulseEngine::CallbackExclusion{};
        bool renderedAudioDropped = false;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (stopPlaying) playing_.store(false, std::memory_order_release);
            renderedAudioDropped = mixed_ > 0 || mixOffset_ > 0;
            queue_.swap(dropped);
            mixed_ = 0;
            mixOffset_ = 0;
            retired_.swap(retired);
        }
        // Audio already rendered will not be heard: the engine silences it and tells the echo
        // reference.
        if (engine && renderedAudioDropped) engine->dropRenderedAudio();
    }
    // The dropped buffers and their handlers are released here, outside every lock.
}

bool PulsePlayerNode::hasRenderedAudio() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return mixed_ > 0 || mixOffset_ > 0;
}

void PulsePlayerNode::scheduleBuffer(std::shared_ptr<PCMBuffer> buffer, CompletionCallbackType type,
                                     CompletionHandler handler) {
    Entry entry;
    if (buffer) {
        float* const* channels = buffer->floatChannelData();
        if (channels && buffer->format().channelCount > 0) {
            entry.samples = channels[0];
            entry.frames = buffer->frameLength();
        }
    }
    entry.buffer = std::move(buffer);
    entry.type = type;
    entry.handler = std::move(handler);

    // Room for one more entry, and for every queued entry among the finished ones, is made here,
    // outside the lock the audio thread takes; what it replaces (finished buffers and handlers
    // among it) is freed after the lock is released.
    std::vector<Entry> slots;
    std::vector<Entry> retired;
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
        const size_t needed = queue_.size() + 1;
        // Besides the queue, the one entry whose handler may be running right now.
        const size_t retiring = needed + 1;
        const bool slotsReady = !queue_.full() || slots.size() >= needed;
        const bool retiredReady = (retired_.empty() && retired_.capacity() >= retiring) || retired.capacity() >= retiring;
        if (slotsReady && retiredReady) break;
        hold.unlock();
        if (!slotsReady) slots = std::vector<Entry>(2 * needed);
        if (!retiredReady) retired.reserve(std::max(2 * retiring, initialSlots));
        hold.lock();
    }
    if (queue_.full()) queue_.regrow(slots);
    if (!retired_.empty() || retired_.capacity() < queue_.size() + 2) retired_.swap(retired);
    queue_.push(std::move(entry));
}

void PulsePlayerNode::mixInto(float* mono, uint32_t frames, uint64_t position) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!playing_.load(std::memory_order_acquire)) return;
    uint32_t done = 0;
    while (mixed_ < queue_.size()) {
        Entry& entry = queue_[mixed_];
        const uint32_t count = std::min(entry.frames - mixOffset_, frames - done);
        const float* source = entry.samples + mixOffset_;
        for (uint32_t i = 0; i < count; ++i) mono[done + i] += source[i];
        done += count;
        mixOffset_ += count;
        if (mixOffset_ < entry.frames) break;
        entry.end = position + done;
        ++mixed_;
        mixOffset_ = 0;
        if (done == frames) {
            // Buffers of no frames right here end at this same position.
            while (mixed_ < queue_.size() && queue_[mixed_].frames == 0) queue_[mixed_++].end = position + done;
            break;
        }
    }
}

void PulsePlayerNode::deliverCompletions(uint64_t playedPosition) {
    for (;;) {
        Entry finished;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (mixed_ == 0) return;
            const Entry& front = queue_.front();
            if (front.type == CompletionCallbackType::dataPlayedBack && front.end > playedPosition) return;
            finished = queue_.pop();
            --mixed_;
        }
        // Outside the player's lock: the handler may schedule, stop or reset this player.
        if (finished.handler) finished.handler(finished.type);
        // Kept to be freed off this thread: scheduling and dropping keep room here for every
        // queued entry, so this never allocates.
        std::lock_guard<std::mutex> hold(mutex_);
        retired_.push_back(std::move(finished));
    }
}

void PulsePlayerNode::rewind() {
    std::lock_guard<std::mutex> hold(mutex_);
    mixed_ = 0;
    mixOffset_ = 0;
}

}  // namespace mivo::platform::pulse
