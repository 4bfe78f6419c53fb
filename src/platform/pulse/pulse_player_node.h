#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/audio_engine.h"
#include "platform/pulse/slot_ring.h"

namespace mivo::platform::pulse {

class PulseEngine;

// Plays scheduled 48 kHz mono float buffers through the engine it is attached to, in order.
//
// Completion handlers run on the engine's event-loop thread: for dataPlayedBack once the playback
// stream's position (what the sink has actually played) has passed the buffer's last frame; for
// the other kinds once the buffer has been handed to the stream. stop() and reset() drop every
// scheduled buffer without calling its handler.
class PulsePlayerNode final : public PlayerNode {
public:
    PulsePlayerNode();
    ~PulsePlayerNode() override;

    AudioFormat outputFormatForBus(uint32_t bus) const override;
    void play() override;
    void stop() override;
    void reset() override;
    bool isPlaying() const override { return playing_.load(std::memory_order_acquire); }
    void scheduleBuffer(std::shared_ptr<PCMBuffer> buffer, CompletionCallbackType type,
                        CompletionHandler handler) override;

    // Called by the engine.
    void attachTo(const std::shared_ptr<PulseEngine>& engine);
    void setFormat(const AudioFormat& format);
    // On the event-loop thread: adds the next `frames` frames to `mono` and notes, for every buffer
    // that ends here, the stream position after its last frame (`position` is that of mono[0]).
    void mixInto(float* mono, uint32_t frames, uint64_t position);
    // On the event-loop thread: runs the handlers of buffers that are done by `playedPosition`.
    void deliverCompletions(uint64_t playedPosition);
    // The engine stopped: nothing it rendered can be taken as heard, so it is rendered again.
    void rewind();
    // Whether some of its audio has been rendered and not yet completed.
    bool hasRenderedAudio() const;

private:
    struct Entry {
        std::shared_ptr<PCMBuffer> buffer;
        const float* samples = nullptr;
        uint32_t frames = 0;
        CompletionCallbackType type = CompletionCallbackType::dataPlayedBack;
        CompletionHandler handler;
        uint64_t end = 0;
    };

    void drop(bool stopPlaying);
    std::shared_ptr<PulseEngine> engine() const;

    static constexpr size_t initialSlots = 64;

    mutable std::mutex mutex_;
    std::weak_ptr<PulseEngine> engine_;
    std::atomic<bool> playing_{false};
    AudioFormat format_;
    SlotRing<Entry> queue_;
    // Entries [0, mixed_) have been rendered completely; mixOffset_ frames of the next one.
    size_t mixed_ = 0;
    uint32_t mixOffset_ = 0;
    // Finished entries wait here to be freed off the audio thread, by the next scheduleBuffer or
    // drop. Its capacity always covers every queued entry besides those already here.
    std::vector<Entry> retired_;
};

}  // namespace mivo::platform::pulse
