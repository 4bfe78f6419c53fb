#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "private_pulse_daemon.h"

namespace mivo::testing {

// A fresh private daemon with the virtual room for every test, killed when the test ends.
class PulseDaemonTest : public ::testing::Test {
protected:
    // The room of tools/room/rooms.conf the daemon starts with.
    virtual std::string roomName() const { return "loopback-60"; }
    // The formats of the microphone and the loudspeaker.
    virtual room::DeviceFormats deviceFormats() const { return {}; }

    void SetUp() override {
        daemon_ = std::make_unique<PrivatePulseDaemon>(roomName(), deviceFormats());
        std::string failure;
        ASSERT_TRUE(daemon_->start(&failure)) << failure;
    }
    void TearDown() override { daemon_.reset(); }

    PrivatePulseDaemon& daemon() { return *daemon_; }

private:
    std::unique_ptr<PrivatePulseDaemon> daemon_;
};

}  // namespace mivo::testing
