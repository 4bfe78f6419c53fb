#pragma once

// What the sound server says about itself and the default devices, asked as a plain client.

#include <string>
#include <vector>

namespace mivo::duplex::check {

struct DeviceInfo {
    std::string name;
    std::string description;
    unsigned rate = 0;
    unsigned channels = 0;
    std::string monitorOf;     // a source that is a sink's monitor: that sink
    std::string master;        // a filter device: the device it works on
    std::string canceller;     // an echo canceller: what it is, else empty
};

struct ServerSurvey {
    std::string server;        // "PulseAudio 16.1", "PipeWire 0.3.65" ...
    DeviceInfo sink;
    DeviceInfo source;
    std::string speakerMonitor;     // what was really played: the monitor of the sink that sounds
    std::string rawMicrophone;      // the source under any server-side filter
    std::vector<std::string> cancellersElsewhere;  // echo cancellers loaded but not on our path
};

// Asks the server the environment points at; false with the reason when it cannot be reached or
// has no default sink or source.
bool surveyServer(ServerSurvey& survey, std::string& failure);

}  // namespace mivo::duplex::check
