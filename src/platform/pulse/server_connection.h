#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/function_ref.h"

struct pa_context;
struct pa_mainloop_api;
struct pa_operation;
struct pa_threaded_mainloop;
struct pa_time_event;

namespace mivo::platform::pulse {

// The name this library's connections give themselves on the server.
inline constexpr const char* clientName = "MivoVoiceIO";

// What the platform and the engine need to know about one sink or source.
struct DeviceInfo {
    uint32_t index = 0;
    std::string name;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    // The device's own channel positions (pa_channel_position_t), one per channel.
    std::vector<int> channelPositions;
    std::string activePort;
    // Named by the user for every client of the server (PULSE_SINK, PULSE_SOURCE) rather than
    // the server's default: a change of the default does not concern it.
    bool chosenByUser = false;
};

// The devices a client uses: the one the user named for clients, else the server's default;
// either is empty when there is none.
struct DefaultDevices {
    std::optional<DeviceInfo> source;
    std::optional<DeviceInfo> sink;
};

// A bound on a series of questions to the server, and how to say that it ran out.
class Deadline {
public:
    explicit Deadline(std::chrono::milliseconds budget)
        : budget_(budget), at_(std::chrono::steady_clock::now() + budget) {}
    std::chrono::steady_clock::time_point at() const { return at_; }
    bool passed() const { return std::chrono::steady_clock::now() >= at_; }
    std::string missedText() const;

private:
    std::chrono::milliseconds budget_;
    std::chrono::steady_clock::time_point at_;
};

// Told, on the connection's event-loop thread, what the server reports.
class ServerEvents {
public:
    // A server, sink or source event (a pa_subscription_event_type_t and the object's index).
    virtual void serverEvent(uint32_t type, uint32_t index) = 0;
    // The connection failed or the server went away.
    virtual void connectionLost() = 0;

protected:
    ~ServerEvents() = default;
};

// Holds a connection's event loop locked for a scope. While it waits for the lock it counts itself
// in `waiting`, if given, so that the loop's callbacks can cut their work short for it.
class MainloopLock {
public:
    explicit MainloopLock(pa_threaded_mainloop* loop, std::atomic<int>* waiting = nullptr);
    ~MainloopLock();
    MainloopLock(const MainloopLock&) = delete;
    MainloopLock& operator=(const MainloopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

// One connection to the server with an event-loop thread of its own, subscribed to the events of
// the server, its sinks and its sources. Every operation below but open() and the destructor
// needs the loop locked, or runs on the loop thread; the waiting ones only with the loop locked
// from another thread.
class ServerConnection {
public:
    // Connects and subscribes before the deadline. Never starts a server. Null, with the reason
    // in `failure`, when it cannot.
    static std::unique_ptr<ServerConnection> open(const Deadline& deadline, std::string& failure);
    // Ends the connection and joins the loop thread; never call it on that thread.
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_mainloop_api* api() const { return api_; }
    // Null once disconnected.
    pa_context* context() const { return context_; }
    // The server's last error text, or that there is no connection.
    std::string errorText() const;

    // Asks for the source and sink to use, both questions at once; empty when the server did not
    // answer by the deadline. Clears changedSinceRead().
    std::optional<DefaultDevices> readDefaults(const Deadline& deadline);
    // The last answer readDefaults got, if any.
    const std::optional<DefaultDevices>& lastDefaults() const { return lastDefaults_; }
    // True once the server reported an event, or the connection failed, since the last read.
    // Any thread may ask.
    bool changedSinceRead() const { return changed_.load(std::memory_order_acquire); }
    // False once the connection failed, was disconnected or expired. Any thread may ask.
    bool usable() const { return usable_.load(std::memory_order_acquire); }

    // Waits until `done` or the deadline; false at the deadline or once disconnected.
    bool waitUntil(const Deadline& deadline, FunctionRef<bool()> done);
    // Waits for an operation and releases it; false when it did not finish by the deadline.
    bool await(pa_operation* operation, const Deadline& deadline);
    // Wakes every waiter, which then looks at its condition again.
    void wakeWaiters();

    // Where server events go from now on; null keeps only changedSinceRead().
    void setEvents(ServerEvents* events) { events_ = events; }
    // Ends the connection when nobody claims it for `idle`: the loop thread then leaves by itself.
    void expireWhenIdle(std::chrono::milliseconds idle);
    // Keeps the connection for a new owner: cancels the expiry.
    void claim();
    // Ends the connection; no callback of it comes afterwards. Safe on the loop thread.
    void disconnect();
    // Makes the loop thread leave once the callback it is running returns; on the loop thread.
    void quitLoop();

private:
    ServerConnection() = default;
    bool connect(const Deadline& deadline, std::string& failure);

    struct Callbacks;

    pa_threaded_mainloop* loop_ = nullptr;
    pa_mainloop_api* api_ = nullptr;
    pa_context* context_ = nullptr;
    pa_time_event* expiry_ = nullptr;
    ServerEvents* events_ = nullptr;
    std::optional<DefaultDevices> lastDefaults_;
    std::atomic<bool> changed_{false};
    std::atomic<bool> usable_{false};
};

}  // namespace mivo::platform::pulse
