#pragma once

// The systems the offline harness compares, each fed the same session frame by frame.

#include <memory>
#include <string>
#include <vector>

#include "session.h"

namespace mivo::offline {

class Variant {
public:
    virtual ~Variant() = default;
    virtual void render(const float* frame48) = 0;
    // Both forms of the same captured 10 ms are offered; 16 kHz output is appended to `out`.
    virtual void capture(const float* frame48, const float* frame16, const Event& event, std::vector<float>& out) = 0;
    virtual void discontinuity(Event::Kind) {}
    // One line per second of what the variant knows about itself, for the notes.
    virtual std::string report() const { return {}; }
};

// name: "library" (the library's voice processor, then the library's capture resampler), or
// "apm" (WebRTC AudioProcessing driven in lock step with an ideal alignment; `options` say how it
// is set up, e.g. "rate=16000 ext=1 da=0 supp=moderate ns=high agc=0 place=10").
std::unique_ptr<Variant> makeVariant(const std::string& name, const std::string& options, std::string& problem);

}  // namespace mivo::offline
