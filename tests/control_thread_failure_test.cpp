// When the system gives no thread for an instance's control queue, create still returns a handle
// and start fails with the reason instead of the host being aborted. The test stands in for the
// system by refusing pthread_create, so it is a binary of its own.
#include <dlfcn.h>
#include <pthread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "api/handle.h"
#include "mivo_voice_io.h"
#include "support/scripted_platform.h"
#include "support/voice_io_test_support.h"

namespace {

std::atomic<bool> refuseThreads{false};

}  // namespace

// Exported with default visibility, so that the C++ runtime's own call of pthread_create ends here.
extern "C" __attribute__((visibility("default"))) int pthread_create(pthread_t* thread,
                                                                  const pthread_attr_t* attributes,
                                                                  void* (*start)(void*), void* argument) {
    if (refuseThreads.load()) return EAGAIN;
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto next = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    return next(thread, attributes, start, argument);
}

namespace mivo::testing {
namespace {

std::string lastError(mivo_voice_io* handle) {
    char text[256];
    mivo_voice_io_copy_last_error(handle, text, sizeof text);
    return text;
}

TEST(ControlThread, WithoutOneCreateStillAnswersAndStartFailsWithTheReason) {
    const auto platform = std::make_shared<ScriptedPlatform>();
    refuseThreads = true;
    mivo_voice_io* handle = api::createHandle(platform);
    ASSERT_NE(handle, nullptr);
    ASSERT_NE(api::retain(handle), nullptr) << "the instance exists without its thread";

    EXPECT_EQ(mivo_voice_io_start(handle), -1);
    EXPECT_EQ(lastError(handle), startPrefix + "Unable to create the control thread");
    EXPECT_EQ(platform->log().countPrefix("makeEngine"), 0u);
    std::vector<int16_t> frames(480, 1);
    EXPECT_EQ(mivo_voice_io_write_playback(handle, frames.data(), 480), -1);
    EXPECT_EQ(mivo_voice_io_interrupt_playback(handle), 0) << "nothing to interrupt is no failure";
    int16_t sample;
    EXPECT_EQ(mivo_voice_io_read_capture(handle, &sample, 1, 30000), -1);

    // Once the system has threads again, the same instance starts.
    refuseThreads = false;
    EXPECT_EQ(mivo_voice_io_start(handle), 0) << lastError(handle);
    EXPECT_EQ(mivo_voice_io_write_playback(handle, frames.data(), 480), 1);
    mivo_voice_io_destroy(handle);
}

}  // namespace
}  // namespace mivo::testing
