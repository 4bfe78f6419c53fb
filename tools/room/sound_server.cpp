#include "sound_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace mivo::room {

namespace {

using Clock = std::chrono::steady_clock;

// Variables that could lead a client or a server of ours to the user's own session.
const char* const inheritedSessionVariables[] = {"PULSE_SINK", "PULSE_SOURCE", "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR",
                                                 "DISPLAY", "WAYLAND_DISPLAY", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                                                 "XDG_STATE_HOME", "XDG_CACHE_HOME", "JACK_DEFAULT_SERVER"};

// The exported names, in the order environment() prints them.
const char* const serverVariables[] = {"XDG_RUNTIME_DIR", "HOME", "PULSE_RUNTIME_PATH", "PULSE_SERVER",
                                       "PULSE_CLIENTCONFIG", "DBUS_SESSION_BUS_ADDRESS"};

std::string readAll(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// A session bus with no service activation, so that nothing is started on the bus's behalf.
std::string busConfiguration(const std::string& socket) {
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:path=" +
           socket +
           "</listen><auth>EXTERNAL</auth>"
           "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
}

}  // namespace

ServerKind serverKindFromEnvironment() {
    const char* value = std::getenv("MIVO_TEST_SERVER");
    if (!value || !*value || std::strcmp(value, "pulseaudio") == 0) return ServerKind::pulseaudio;
    if (std::strcmp(value, "pipewire") == 0) return ServerKind::pipewire;
    throw std::runtime_error(std::string("MIVO_TEST_SERVER must be pulseaudio or pipewire, not ") + value);
}

const char* serverName(ServerKind kind) { return kind == ServerKind::pipewire ? "pipewire" : "pulseaudio"; }

PrivateSoundServer::PrivateSoundServer(ServerKind kind, DeviceFormats formats)
    : kind_(kind), formats_(std::move(formats)) {
    char pattern[] = "/tmp/mivo-sound-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    directory_ = pattern;
    const std::string runtime = directory_ + "/runtime";
    const std::string home = directory_ + "/home";
    std::filesystem::create_directories(runtime + "/pulse");
    std::filesystem::create_directories(home);
    chmod(runtime.c_str(), 0700);
    socket_ = runtime + "/pulse/native";
    // Clients of this process reach this server and no other, and none of them starts one.
    std::ofstream(directory_ + "/client.conf") << "autospawn = no\nenable-memfd = no\n";
    for (const char* name : inheritedSessionVariables) unsetenv(name);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("HOME", home.c_str(), 1);
    setenv("PULSE_RUNTIME_PATH", (runtime + "/pulse").c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + socket_).c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", (directory_ + "/client.conf").c_str(), 1);
    if (kind_ == ServerKind::pipewire) {
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + runtime + "/bus").c_str(), 1);
    } else {
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
}

PrivateSoundServer::~PrivateSoundServer() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

pid_t PrivateSoundServer::launch(const std::string& name, std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const std::string logPath = logPathOf(name);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        // Dies with whoever started it, whatever way that ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        if (log >= 0) {
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (log >= 0) close(log);
    return child;
}

bool PrivateSoundServer::waitFor(const std::string& path, const Child& child, double seconds) const {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
        int status = 0;
        if (child.pid <= 0 || waitpid(child.pid, &status, WNOHANG) == child.pid) return false;
        if (access(path.c_str(), F_OK) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool PrivateSoundServer::start(std::string* failure) {
    if (running()) return true;
    const bool started = kind_ == ServerKind::pipewire ? startPipeWire(failure) : startPulseAudio(failure);
    if (started && makeDevices(failure)) return true;
    if (failure) {
        failure->append("\n");
        failure->append(log());
    }
    stop();
    return false;
}

bool PrivateSoundServer::startPulseAudio(std::string* failure) {
    // PulseAudio moves an idle sink between its own rate and the daemon's alternate one when a
    // stream of another rate joins it, unless the two are equal. With the room's rate as the
    // alternate the room keeps its format, and so does a speaker at 48 kHz or at the room's rate.
    std::filesystem::create_directories(directory_ + "/home/.config/pulse");
    std::ofstream(directory_ + "/home/.config/pulse/daemon.conf")
        << "alternate-sample-rate = " << formats_.roomRate << "\n";
    const std::string script = directory_ + "/server.pa";
    std::ofstream(script) << "load-module module-native-protocol-unix socket=" << socket_ << " auth-anonymous=1\n";
    children_.push_back({"pulseaudio", launch("pulseaudio", {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                                                             "--disallow-exit", "--use-pid-file=no",
                                                             "--log-target=stderr", "-F", script})});
    if (!waitFor(socket_, children_.back(), 10.0)) {
        if (failure) *failure = "the private PulseAudio daemon did not start";
        return false;
    }
    return true;
}

bool PrivateSoundServer::startPipeWire(std::string* failure) {
    const std::string runtime = directory_ + "/runtime";
    const std::string busConfig = directory_ + "/bus.conf";
    std::ofstream(busConfig) << busConfiguration(runtime + "/bus");
    const struct {
        const char* name;
        std::vector<std::string> arguments;
        std::string socket;
    } steps[] = {
        {"dbus-daemon", {"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + busConfig}, runtime + "/bus"},
        {"pipewire", {"pipewire"}, runtime + "/pipewire-0"},
        {"wireplumber", {"wireplumber"}, ""},
        {"pipewire-pulse", {"pipewire-pulse"}, socket_},
    };
    for (const auto& step : steps) {
        children_.push_back({step.name, launch(step.name, step.arguments)});
        if (!step.socket.empty() && !waitFor(step.socket, children_.back(), 10.0)) {
            if (failure) *failure = std::string("the private ") + step.name + " did not start";
            return false;
        }
    }
    return true;
}

bool PrivateSoundServer::makeDevices(std::string* failure) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (pactl("info") != 0) {
        if (Clock::now() > deadline) {
            if (failure) *failure = "the private server does not answer pactl";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Without rewinds: a sink that renders again what its monitor already handed out would
    // duplicate that stretch for every monitor client, the room's echo path among them, and move
    // the echo by as much. PipeWire's sinks never rewind (and do not know the argument).
    const auto sink = [this](const char* name, unsigned rate, unsigned channels, const std::string& map) {
        return "load-module module-null-sink sink_name=" + std::string(name) + " rate=" + std::to_string(rate) +
               " channels=" + std::to_string(channels) + (map.empty() ? "" : " channel_map=" + map) +
               " format=float32le" + (kind_ == ServerKind::pulseaudio ? " norewinds=1" : "");
    };
    const std::string speaker = sink("speaker", formats_.speakerRate, formats_.speakerChannels, "");
    const std::string room = sink("room", formats_.roomRate, formats_.roomChannels, formats_.roomChannelMap);
    const char* const commands[] = {
        speaker.c_str(), room.c_str(),
        "set-default-sink speaker", "set-default-source room.monitor",
        // Loading modules may leave volumes below 100 %.
        "set-source-volume room.monitor 100%", "set-source-volume speaker.monitor 100%",
        "set-sink-volume speaker 100%", "set-sink-volume room 100%"};
    for (const char* command : commands) {
        std::string output;
        int status = pactl(command, &output);
        // PipeWire answers "Not supported" to set-default-* until WirePlumber has made its
        // metadata, which can come after pipewire-pulse answers: ask again for a while.
        for (int retry = 0; status != 0 && kind_ == ServerKind::pipewire && retry < 40; ++retry) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            status = pactl(command, &output);
        }
        if (status != 0) {
            if (failure) *failure = std::string("pactl ") + command + " failed: " + output;
            return false;
        }
    }
    return restartSinks();
}

// A null sink renders as far ahead as its latency allows; until a client asks for a short
// latency that is seconds, and a stream that joins then waits that long for its first data. A
// suspend and resume restarts both sinks at the latency their clients ask for now.
bool PrivateSoundServer::restartSinks() const {
    for (const char* command : {"suspend-sink speaker 1", "suspend-sink room 1", "suspend-sink speaker 0",
                                "suspend-sink room 0"}) {
        if (pactl(command) != 0) return false;
    }
    return true;
}

pid_t PrivateSoundServer::clientFacing() const {
    for (const Child& child : children_) {
        if (child.name == "pulseaudio" || child.name == "pipewire-pulse") return child.pid;
    }
    return -1;
}

bool PrivateSoundServer::running() const { return clientFacing() > 0; }

std::string PrivateSoundServer::endedProcess() {
    std::vector<Child*> all{&room_};
    for (Child& child : children_) all.push_back(&child);
    for (Child* child : all) {
        int status = 0;
        if (child->pid > 0 && waitpid(child->pid, &status, WNOHANG) == child->pid) {
            child->pid = -1;
            return child->name;
        }
    }
    return {};
}

std::vector<pid_t> PrivateSoundServer::processes() const {
    std::vector<pid_t> result;
    for (const Child& child : children_) {
        if (child.pid > 0) result.push_back(child.pid);
    }
    if (room_.pid > 0) result.push_back(room_.pid);
    return result;
}

void PrivateSoundServer::reap(Child& child, bool wait) {
    if (child.pid <= 0) return;
    int status = 0;
    if (waitpid(child.pid, &status, wait ? 0 : WNOHANG) == child.pid || wait) child.pid = -1;
}

void PrivateSoundServer::kill() {
    thaw();
    // The server clients talk to goes first, so that they see their connection drop at once.
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
        if (it->pid > 0) ::kill(it->pid, SIGKILL);
    }
    if (room_.pid > 0) ::kill(room_.pid, SIGKILL);
    reap(room_, true);
    for (Child& child : children_) reap(child, true);
    children_.clear();
}

void PrivateSoundServer::freeze() {
    const pid_t pid = clientFacing();
    if (pid > 0 && !frozen_) {
        // waitpid reports the stop only once every thread has stopped, so nothing is answered
        // after this returns.
        ::kill(pid, SIGSTOP);
        int status = 0;
        waitpid(pid, &status, WUNTRACED);
        frozen_ = true;
    }
}

void PrivateSoundServer::thaw() {
    const pid_t pid = clientFacing();
    if (pid > 0 && frozen_) ::kill(pid, SIGCONT);
    frozen_ = false;
}

void PrivateSoundServer::stop() {
    // A loopback room unloads its module as it stops, which a frozen server would not answer.
    thaw();
    stopRoom();
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
        if (it->pid > 0) ::kill(it->pid, SIGTERM);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    for (Child& child : children_) {
        while (child.pid > 0 && Clock::now() < deadline) {
            reap(child, false);
            if (child.pid > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    kill();
}

int PrivateSoundServer::pactl(const std::string& arguments, std::string* output) const {
    const std::string command = "pactl " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof(chunk), pipe)) > 0) text.append(chunk, got);
    const int status = pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string PrivateSoundServer::environment() const {
    std::string lines;
    for (const char* name : serverVariables) {
        if (const char* value = std::getenv(name)) lines += std::string(name) + "=" + value + "\n";
    }
    return lines;
}

std::string PrivateSoundServer::logPathOf(const std::string& process) const {
    return directory_ + "/" + process + ".log";
}

std::string PrivateSoundServer::roomLog() const { return readAll(logPathOf("mivo-room")); }

std::string PrivateSoundServer::log() const {
    std::string text;
    for (const char* name : {"pulseaudio", "dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse", "mivo-room"}) {
        const std::string path = logPathOf(name);
        if (access(path.c_str(), F_OK) == 0) text += std::string("--- ") + name + "\n" + readAll(path);
    }
    return text;
}

}  // namespace mivo::room
