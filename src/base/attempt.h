#pragma once

namespace mivo::base {

// Runs one step of a teardown and swallows what it throws, so that the steps after it still run:
// a failure there must not leave the engine running, the ring open or a reader waiting out its
// deadline. Only for steps whose failure leaves nothing to report.
template <typename Step>
void attempt(Step&& step) noexcept {
    try {
        step();
    } catch (...) {
    }
}

}  // namespace mivo::base
