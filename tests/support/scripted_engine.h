#pragma once

// The engine records how the core wired and ran it; its nodes are made with it, one set per engine.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_platform.h"
#include "support/scripted_nodes.h"

namespace mivo::testing {

namespace detail {
struct PlatformState;  // shared by the platform and every object it made
}

using platform::AudioFormat;

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

}  // namespace mivo::testing
