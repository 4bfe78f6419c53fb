// Connections are logged by node name, so that the suites can check the graph as text.

#include "support/scripted_engine.h"

#include <utility>

#include "support/call_log.h"
#include "support/platform_state.h"

namespace mivo::testing {

using platform::PlatformError;
using detail::PlatformState;
using detail::describedFault;

namespace {

std::string nodeName(const platform::AudioNode* node) {
    if (dynamic_cast<const ScriptedInputNode*>(node)) return "input";
    if (dynamic_cast<const ScriptedOutputNode*>(node)) return "output";
    if (dynamic_cast<const ScriptedMixerNode*>(node)) return "mainMixer";
    if (dynamic_cast<const ScriptedPlayerNode*>(node)) return "player";
    return node ? "unknown" : "null";
}

}  // namespace

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

}  // namespace mivo::testing
