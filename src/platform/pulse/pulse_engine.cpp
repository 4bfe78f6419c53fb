#include "platform/pulse/pulse_engine.h"

#include <algorithm>
#include <utility>

#include "platform/pulse/pulse_engine_session.h"
#include "platform/pulse/pulse_nodes.h"
#include "platform/pulse/pulse_player_node.h"
#include "platform/pulse/server_access.h"

namespace mivo::platform::pulse {

namespace {

// The engine whose callback this thread is running, if any.
thread_local const void* callbackOwner = nullptr;

}  // namespace

CallbackScope::CallbackScope(const void* owner) : previous_(callbackOwner) { callbackOwner = owner; }
CallbackScope::~CallbackScope() { callbackOwner = previous_; }
bool CallbackScope::inside(const void* owner) { return callbackOwner == owner; }

PulseEngine::CallbackExclusion::CallbackExclusion(CallbackExclusion&& other) noexcept
    : lifecycle_(std::move(other.lifecycle_)), loop_(std::exchange(other.loop_, nullptr)) {}

PulseEngine::CallbackExclusion::~CallbackExclusion() {
    if (loop_) pa_threaded_mainloop_unlock(loop_);
}

std::shared_ptr<PulseEngine> PulseEngine::create(std::shared_ptr<PulseNotificationCenter> notificationCenter,
                                                 std::shared_ptr<ServerAccess> server, PulsePlatformOptions options) {
    std::shared_ptr<PulseEngine> engine(
        new PulseEngine(std::move(notificationCenter), std::move(server), std::move(options)));
    engine->input_ = makeInputNode(engine);
    engine->output_ = makeOutputNode(engine);
    engine->mixer_ = makeMixerNode(engine);
    return engine;
}

PulseEngine::PulseEngine(std::shared_ptr<PulseNotificationCenter> notificationCenter,
                         std::shared_ptr<ServerAccess> server, PulsePlatformOptions options)
    : notificationCenter_(std::move(notificationCenter)),
      server_(std::move(server)),
      options_(std::move(options)),
      playerFormat_(standardFormat(renderRate, 1)) {}

bool PulseEngine::inCallback() const { return CallbackScope::inside(this); }

std::shared_ptr<InputNode> PulseEngine::inputNode() { return input_; }
std::shared_ptr<OutputNode> PulseEngine::outputNode() { return output_; }
std::shared_ptr<MixerNode> PulseEngine::mainMixerNode() { return mixer_; }

PulseEngine::CallbackExclusion PulseEngine::excludeCallbacks() {
    CallbackExclusion exclusion;
    if (inCallback()) return exclusion;
    exclusionsWanted_.fetch_add(1);
    exclusion.lifecycle_ = std::unique_lock<std::mutex>(lifecycle_);
    if (session_ && session_->connection) {
        pa_threaded_mainloop_lock(session_->loop());
        exclusion.loop_ = session_->loop();
    }
    exclusionsWanted_.fetch_sub(1);
    return exclusion;
}

void PulseEngine::attachNode(const std::shared_ptr<PlayerNode>& node) {
    auto player = std::dynamic_pointer_cast<PulsePlayerNode>(node);
    if (!player) return;
    player->attachTo(shared_from_this());
    auto exclusion = excludeCallbacks();
    if (std::find(players_.begin(), players_.end(), player) == players_.end()) players_.push_back(player);
}

void PulseEngine::connect(const std::shared_ptr<AudioNode>& from, const std::shared_ptr<AudioNode>& to,
                          const AudioFormat& format) {
    if (auto player = std::dynamic_pointer_cast<PulsePlayerNode>(from); player && to == mixer_) {
        player->setFormat(format);
        std::lock_guard<std::mutex> hold(graphMutex_);
        playerFormat_ = format;
    } else if (from == mixer_ && to == output_) {
        std::lock_guard<std::mutex> hold(graphMutex_);
        mixerOutputFormat_ = format;
    }
}

AudioFormat PulseEngine::inputFormat() const {
    if (voiceProcessing_.load()) return standardFormat(voiceRate, 1);
    const auto devices = server_->defaults();
    if (!devices || !devices->source || devices->source->channels == 0) return unusableFormat();
    return standardFormat(renderRate, devices->source->channels);
}

AudioFormat PulseEngine::outputFormat() const {
    const auto devices = server_->defaults();
    if (!devices || !devices->sink || devices->sink->channels == 0) return unusableFormat();
    return standardFormat(devices->sink->sampleRate, devices->sink->channels);
}

AudioFormat PulseEngine::mixerFormat() const {
    std::lock_guard<std::mutex> hold(graphMutex_);
    return mixerOutputFormat_.value_or(standardFormat(renderRate, 1));
}

void PulseEngine::installTap(uint32_t bufferSize, TapBlock block) {
    auto installed = std::make_shared<TapBlock>(std::move(block));
    std::shared_ptr<TapBlock> previous;
    {
        auto exclusion = excludeCallbacks();
        previous = std::exchange(tap_, std::move(installed));
        tapSize_ = std::max<uint32_t>(bufferSize, 1);
        if (tapCalling_ && inCallback()) {
            // The running tap reads the storage that a resize would free: resize once it returns.
            retiredTap_ = previous;
            tapResizePending_ = true;
        } else if (session_) {
            prepareTapStorage(*session_);
        }
    }
}

void PulseEngine::removeTap() {
    std::shared_ptr<TapBlock> previous;
    {
        auto exclusion = excludeCallbacks();
        previous = std::move(tap_);
        if (tapCalling_ && inCallback()) retiredTap_ = previous;
    }
    // The block is destroyed here, outside every lock (or later, when it removed itself).
}

std::optional<PlatformError> PulseEngine::setVoiceProcessingEnabled(bool enabled) {
    if (inCallback()) return PlatformError{"Voice processing cannot be changed from inside the engine's callbacks"};
    std::lock_guard<std::mutex> life(lifecycle_);
    if (enabled && !preparedProcessor_ && options_.makeVoiceProcessor) {
        std::string failure;
        preparedProcessor_ = options_.makeVoiceProcessor(failure);
        if (!preparedProcessor_) return PlatformError{std::move(failure)};
    }
    voiceProcessing_.store(enabled);
    return std::nullopt;
}

}  // namespace mivo::platform::pulse
