#pragma once

// The check's findings, and the report it prints: text for a person, JSON for a bug report.

#include <string>
#include <vector>

#include "mivo_duplex/check/capture_chain.h"
#include "mivo_duplex/check/echo_path.h"
#include "mivo_duplex/check/server_survey.h"

namespace mivo::duplex::check {

struct Finding {
    std::string kind;       // a stable key: clipping, long_delay, stacked_canceller, ...
    bool needsUser = false; // false: worth knowing, cancellation holds all the same
    std::string text;       // what was found and what to do
};

struct CheckReport {
    std::string room;       // empty: the user's own default devices
    std::string roomState;
    ServerSurvey survey;
    EchoPath path;
    CaptureChain chain;
    Cancellation cancellation;
    std::vector<Finding> findings;
    std::string picture;    // empty when it could not be drawn
};

// The echo delay, speaker played to microphone captured, the library's canceller reaches: it
// looks for the echo up to 400 ms after the reference, and the server's buffers on both sides
// take about 60 ms of that.
constexpr double cancellerReachMs = 340.0;
// Below this the echo is plainly audible to the far end.
constexpr double workingErleDb = 20.0;

std::vector<Finding> judge(const CheckReport& report);
bool needsUser(const std::vector<Finding>& findings);
std::string verdictLine(const std::vector<Finding>& findings);

std::string textReport(const CheckReport& report);
std::string jsonReport(const CheckReport& report);
// For a check that could not run.
std::string jsonFailure(const std::string& reason);

}  // namespace mivo::duplex::check
