#pragma once

#include <memory>

#include "platform/audio_engine.h"

namespace mivo::platform::pulse {

class PulseEngine;

// The engine's input, output and main mixer nodes: thin adapters that hold the engine weakly and
// pass every question and setting on to it. Once the engine is gone, formats are unusable and
// settings do nothing.
std::shared_ptr<InputNode> makeInputNode(std::weak_ptr<PulseEngine> engine);
std::shared_ptr<OutputNode> makeOutputNode(std::weak_ptr<PulseEngine> engine);
std::shared_ptr<MixerNode> makeMixerNode(std::weak_ptr<PulseEngine> engine);

// Zero rate and channels: what a node answers when it has no format to give.
AudioFormat unusableFormat();

}  // namespace mivo::platform::pulse
