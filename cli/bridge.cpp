#include "bridge.h"

#include "bridge_messages.h"

#include <mosquitto.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace vantrel::mqtt {
namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::size_t queue_limit = 256;
constexpr auto probe_every = seconds(5);
constexpr auto first_retry = seconds(1);
constexpr auto last_retry = seconds(30);
constexpr int qos = 1;

// libmosquitto once per process.
struct library {
    library() { mosquitto_lib_init(); }
    ~library() { mosquitto_lib_cleanup(); }
};

class bridge {
  public:
    bridge(const bridge_config& config, const std::string& version, const bridge_io& io)
        : config_(config), io_(io), discovery_(discovery_messages(config, version)) {
        for (const message& m : discovery_) discovery_topics_.insert(m.topic);
    }
    bridge(const bridge&) = delete;
    bridge& operator=(const bridge&) = delete;
    ~bridge() {
        if (m_) mosquitto_destroy(m_);
    }

    int run();

  private:
    bool set_up();
    int log_in(mosquitto* m) const;
    void end_session();
    bool stopping() const { return *io_.stop != 0; }
    void wait(clock::duration span) const;
    void on_connect(int rc);
    void on_message(const mosquitto_message& msg);
    void sender_loop();
    void send(const command& c);
    void publish(const std::string& topic, const std::string& payload, bool retain);
    void publish_availability() {
        publish(availability_topic(config_), port_ok_ ? "online" : "offline", true);
    }
    void publish_discovery() {
        for (const message& m : discovery_) publish(m.topic, m.payload, true);
    }
    void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    std::string failure(int rc) const;

    const bridge_config& config_;
    bridge_io io_;
    std::vector<message> discovery_;
    std::set<std::string> discovery_topics_;
    mosquitto* m_ = nullptr;

    std::mutex log_lock_;
    mutable std::mutex library_error_lock_;
    std::string last_library_error_;  // guarded by library_error_lock_

    std::mutex queue_lock_;
    std::condition_variable queue_ready_;
    std::deque<command> queue_;
    std::size_t dropped_ = 0;
    bool closing_ = false;

    std::atomic<bool> connected_{false};
    std::atomic<bool> port_ok_{true};
    std::atomic<bool> refused_{false};
    // A refused login or certificate is final only before the first connection of the run:
    // after weeks of service it is more likely a broker restarting with its logins not loaded
    // yet, and the bridge keeps trying.
    std::atomic<bool> ever_connected_{false};
    std::atomic<int> pending_offline_{-1};
    std::mutex subscriptions_lock_;
    std::map<int, std::string> subscriptions_;  // message id to filter, until its SUBACK
};

// One line each: topics and payloads come from whoever may publish on the broker, so a control
// character in them must not start a line of its own in the journal.
void bridge::say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    std::string line(
        static_cast<std::size_t>(std::max(std::vsnprintf(nullptr, 0, format, args), 0)), '\0');
    va_end(args);
    std::vsnprintf(line.data(), line.size() + 1, format, again);
    va_end(again);
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    std::lock_guard<std::mutex> hold(log_lock_);
    std::fprintf(io_.log, "%s\n", line.c_str());
    std::fflush(io_.log);
}

std::string bridge::failure(int rc) const {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    if (rc == MOSQ_ERR_TLS) {
        std::lock_guard<std::mutex> hold(library_error_lock_);
        if (!last_library_error_.empty()) return last_library_error_;
    }
    return mosquitto_strerror(rc);
}

void bridge::wait(clock::duration span) const {
    const auto until = clock::now() + span;
    while (!stopping() && clock::now() < until) std::this_thread::sleep_for(milliseconds(50));
}

void bridge::publish(const std::string& topic, const std::string& payload, bool retain) {
    if (io_.verbose) say("-> %s %s", topic.c_str(), payload.c_str());
    const int rc = mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                     payload.data(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
        say("can't publish %s: %s", topic.c_str(), failure(rc).c_str());
    }
}

int bridge::log_in(mosquitto* m) const {
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    int rc = MOSQ_ERR_SUCCESS;
    if (!config_.user.empty()) {
        rc = mosquitto_username_pw_set(m, config_.user.c_str(),
                                       config_.has_password ? config_.password.c_str() : nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS && config_.tls) {
        rc = config_.ca_file.empty() ? mosquitto_int_option(m, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                                     : mosquitto_tls_set(m, config_.ca_file.c_str(), nullptr,
                                                         nullptr, nullptr, nullptr);
    }
    return rc;
}

// Commands published while the bridge is stopped on purpose would otherwise wait in the
// broker's session until the next start, however far off, and switch the modules then. A
// connection with a clean start ends that session; a crash keeps it, so that commands sent
// while systemd restarts the bridge still arrive.
void bridge::end_session() {
    bool answered = false;
    mosquitto* once = mosquitto_new(config_.client_id.c_str(), true, &answered);
    if (!once) return;
    mosquitto_connect_callback_set(
        once, [](mosquitto*, void* flag, int) { *static_cast<bool*>(flag) = true; });
    if (log_in(once) == MOSQ_ERR_SUCCESS &&
        mosquitto_connect(once, config_.host.c_str(), config_.port, config_.keepalive_s) ==
            MOSQ_ERR_SUCCESS) {
        for (int i = 0; i < 40 && !answered && mosquitto_loop(once, 50, 1) == MOSQ_ERR_SUCCESS;
             ++i) {
        }
        mosquitto_disconnect(once);
        mosquitto_loop(once, 50, 1);
    }
    mosquitto_destroy(once);
}

bool bridge::set_up() {
    // A fixed client id without a clean start: the broker keeps the subscriptions and the
    // QoS 1 commands that arrive while the bridge is away, and hands them over on reconnect.
    m_ = mosquitto_new(config_.client_id.c_str(), false, this);
    if (!m_) {
        say("can't start an MQTT client: %s", std::strerror(errno));
        return false;
    }
    mosquitto_threaded_set(m_, true);
    // Called on whichever thread calls into the library, the sender's publishes included.
    mosquitto_log_callback_set(m_, [](mosquitto*, void* self, int level, const char* text) {
        if (level != MOSQ_LOG_ERR) return;
        auto* b = static_cast<bridge*>(self);
        std::lock_guard<std::mutex> hold(b->library_error_lock_);
        b->last_library_error_ = text;
    });
    mosquitto_connect_callback_set(
        m_, [](mosquitto*, void* self, int rc) { static_cast<bridge*>(self)->on_connect(rc); });
    mosquitto_disconnect_callback_set(
        m_, [](mosquitto*, void* self, int) { static_cast<bridge*>(self)->connected_ = false; });
    // A broker that refuses a subscription (its access list) would leave the bridge online
    // and deaf: that is said in the log.
    mosquitto_subscribe_callback_set(
        m_, [](mosquitto*, void* self, int mid, int count, const int* granted) {
            auto* b = static_cast<bridge*>(self);
            std::string filter;
            {
                std::lock_guard<std::mutex> hold(b->subscriptions_lock_);
                filter = b->subscriptions_[mid];
                b->subscriptions_.erase(mid);
            }
            for (int i = 0; i < count; ++i) {
                if (granted[i] > 2)
                    b->say("the broker refused the subscription to %s", filter.c_str());
            }
        });
    mosquitto_message_callback_set(m_, [](mosquitto*, void* self, const mosquitto_message* msg) {
        static_cast<bridge*>(self)->on_message(*msg);
    });
    mosquitto_publish_callback_set(m_, [](mosquitto*, void* self, int mid) {
        auto* b = static_cast<bridge*>(self);
        if (mid == b->pending_offline_) b->pending_offline_ = -1;
    });
    const std::string availability = availability_topic(config_);
    int rc = mosquitto_will_set(m_, availability.c_str(), 7, "offline", qos, true);
    if (rc == MOSQ_ERR_SUCCESS) rc = log_in(m_);
    if (rc != MOSQ_ERR_SUCCESS) {
        say("can't set up the MQTT client: %s", failure(rc).c_str());
        return false;
    }
    return true;
}

void bridge::on_connect(int rc) {
    if (rc != 0) {
        // Wrong user or password, or not authorized: trying again cannot help at start.
        if ((rc == 4 || rc == 5) && !ever_connected_) refused_ = true;
        say("the broker refused the connection: %s", mosquitto_connack_string(rc));
        return;
    }
    connected_ = true;
    ever_connected_ = true;
    say("connected to %s:%d", config_.host.c_str(), config_.port);
    std::vector<std::string> filters = command_filters(config_);
    if (config_.discovery) {
        filters.push_back(config_.status_topic);
        filters.push_back(own_discovery_filter(config_));
    }
    for (const std::string& filter : filters) {
        int mid = 0;
        mosquitto_subscribe(m_, &mid, filter.c_str(), qos);
        std::lock_guard<std::mutex> hold(subscriptions_lock_);
        subscriptions_[mid] = filter;
    }
    // A broker without persistence forgets retained messages when it restarts: everything
    // retained goes out again on every connection.
    publish_availability();
    publish_discovery();
}

void bridge::on_message(const mosquitto_message& msg) {
    const std::string topic = msg.topic;
    const std::string payload(static_cast<const char*>(msg.payload),
                              static_cast<std::size_t>(std::max(msg.payloadlen, 0)));
    if (io_.verbose) say("<- %s %s", topic.c_str(), payload.c_str());
    if (config_.discovery && topic == config_.status_topic) {
        if (payload == "online") {
            say("Home Assistant is online: discovery published again");
            publish_discovery();
        }
        return;
    }
    bool own_config = false;
    if (config_.discovery &&
        mosquitto_topic_matches_sub(own_discovery_filter(config_).c_str(), topic.c_str(),
                                    &own_config) == MOSQ_ERR_SUCCESS &&
        own_config) {
        // A config this node published once for a unit no longer configured: cleared, so that
        // its entity goes away instead of lingering as unavailable.
        if (!payload.empty() && !discovery_topics_.count(topic)) {
            say("cleared %s: the unit is no longer configured", topic.c_str());
            publish(topic, "", true);
        }
        return;
    }
    command c;
    std::string why = parse_command(config_, topic, payload, c);
    if (why.empty() && msg.retain) why = "a retained command is not taken";
    if (!why.empty()) {
        say("%s: %s; nothing sent", topic.c_str(), why.c_str());
        return;
    }
    if (!port_ok_) {
        say("%s refused: %s is unavailable", c.label.c_str(), config_.serial_port.c_str());
        return;
    }
    std::unique_lock<std::mutex> hold(queue_lock_);
    if (closing_) {
        say("%s not taken: the bridge is stopping", c.label.c_str());
        return;
    }
    if (queue_.size() >= queue_limit) {
        ++dropped_;
        say("%s dropped: %zu commands wait already (%zu dropped so far)", c.label.c_str(),
            queue_limit, dropped_);
        return;
    }
    queue_.push_back(std::move(c));
    hold.unlock();
    queue_ready_.notify_one();
}

void bridge::send(const command& c) {
    cli::settings options;
    options.port = config_.serial_port;
    options.timings = config_.timings;
    options.frame_gap_ms = config_.frame_gap_ms;
    double took = 0;
    for (const cli::frame_order& frame : c.frames) {
        const cli::send_result sent = io_.sender->send(frame, options);
        if (sent.status != cli::exit_sent) {
            say("%s failed: %s", c.label.c_str(), sent.message.c_str());
            // Another sender holding the port too long fails this command, not the port.
            if (sent.status == cli::exit_port_failed && !sent.busy) {
                port_ok_ = false;
                publish_availability();
            }
            return;
        }
        took += sent.frame_ms;
    }
    say("%s sent (%.0f ms)", c.label.c_str(), took);
    if (!c.state_topic.empty()) publish(c.state_topic, c.state, true);
}

void bridge::sender_loop() {
    auto next_probe = clock::now() + probe_every;
    for (;;) {
        std::unique_lock<std::mutex> hold(queue_lock_);
        queue_ready_.wait_for(hold, milliseconds(500), [&] { return closing_ || !queue_.empty(); });
        if (closing_) {
            // Taken from the broker already, so lost with the stop: the log says which.
            for (const command& c : queue_)
                say("%s not sent: the bridge is stopping", c.label.c_str());
            queue_.clear();
            return;
        }
        if (!port_ok_) {
            // Commands that were waiting when the port failed are refused, not kept for later.
            for (const command& c : queue_) {
                say("%s refused: %s is unavailable", c.label.c_str(), config_.serial_port.c_str());
            }
            queue_.clear();
            hold.unlock();
            if (clock::now() < next_probe) continue;
            next_probe = clock::now() + probe_every;
            std::string why;
            if (io_.probe(config_.serial_port, why)) {
                say("%s is back", config_.serial_port.c_str());
                port_ok_ = true;
                publish_availability();
            }
            continue;
        }
        if (queue_.empty()) {
            hold.unlock();
            // An adapter unplugged while idle takes its device with it; looking touches no line.
            struct stat device {};
            if (clock::now() >= next_probe) {
                next_probe = clock::now() + probe_every;
                if (::stat(config_.serial_port.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) {
                    say("%s is gone", config_.serial_port.c_str());
                    port_ok_ = false;
                    publish_availability();
                }
            }
            continue;
        }
        const command c = std::move(queue_.front());
        queue_.pop_front();
        hold.unlock();
        send(c);
        next_probe = clock::now() + probe_every;
    }
}

int bridge::run() {
    if (!set_up()) return cli::exit_port_failed;
    // Online only with a port that opens: known before the first connection.
    std::string why;
    port_ok_ = io_.probe(config_.serial_port, why);
    if (!port_ok_) say("%s is unavailable: %s", config_.serial_port.c_str(), why.c_str());
    std::thread sender([this] { sender_loop(); });
    auto retry = first_retry;
    while (!stopping() && !refused_) {
        int rc = mosquitto_connect(m_, config_.host.c_str(), config_.port, config_.keepalive_s);
        bool answered = false;  // the broker accepted this connection
        if (rc == MOSQ_ERR_SUCCESS) {
            while (!stopping() && !refused_) {
                rc = mosquitto_loop(m_, 100, 1);
                if (rc != MOSQ_ERR_SUCCESS) {
                    connected_ = false;
                    break;
                }
                if (connected_) {
                    retry = first_retry;
                    answered = true;
                }
            }
            if (stopping() || refused_) break;
        }
        if (!ever_connected_ && (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE)) {
            // The handshake failed (in the connect or, when the broker answers slowly, in the
            // first loops): the broker's certificate does not check out against the CA, a
            // fault of the configuration (or an impostor) that trying again cannot mend.
            say("can't connect to %s:%d over TLS: %s", config_.host.c_str(), config_.port,
                failure(rc).c_str());
            refused_ = true;
            break;
        }
        if (answered) {
            say("connection to %s:%d lost: %s; trying again in %lld s", config_.host.c_str(),
                config_.port, failure(rc).c_str(), static_cast<long long>(retry.count()));
        } else {
            say("can't connect to %s:%d: %s; trying again in %lld s", config_.host.c_str(),
                config_.port, failure(rc).c_str(), static_cast<long long>(retry.count()));
        }
        wait(retry);
        retry = std::min(retry * 2, last_retry);
    }
    {
        std::lock_guard<std::mutex> hold(queue_lock_);
        closing_ = true;
    }
    queue_ready_.notify_one();
    sender.join();  // a frame in progress is cut by the same stop signal
    if (refused_) return cli::exit_port_failed;
    if (connected_) {
        int mid = 0;
        pending_offline_ = -2;
        if (mosquitto_publish(m_, &mid, availability_topic(config_).c_str(), 7, "offline", qos,
                              true) == MOSQ_ERR_SUCCESS) {
            pending_offline_ = mid;
            const auto until = clock::now() + seconds(2);
            while (pending_offline_ != -1 && clock::now() < until &&
                   mosquitto_loop(m_, 50, 1) == MOSQ_ERR_SUCCESS) {
            }
        }
        const bool broker_answers = pending_offline_ == -1;
        mosquitto_disconnect(m_);
        mosquitto_loop(m_, 50, 1);
        // Only with a broker that just answered: its blocking connect must not hold up a stop.
        if (broker_answers) end_session();
    }
    say("stopped");
    return cli::exit_sent;
}

}  // namespace

int run_bridge(const bridge_config& config, const std::string& version, const bridge_io& io) {
    static library lib;
    bridge b(config, version, io);
    return b.run();
}

std::string bridge_usage() {
    return "usage: vantrel mqtt --config FILE [--verbose | --check]\n"
           "Runs vantrel as an MQTT bridge: the units of FILE appear in Home Assistant through\n"
           "MQTT discovery, and commands on <base_topic>/<node_id>/<ID>/set switch them.\n"
           "  --config FILE  the YAML configuration (see /etc/vantrel/mqtt.yaml)\n"
           "  --verbose      log every MQTT message\n"
           "  --check        check FILE, say what the bridge would do, and exit\n"
           "exit status: 0 stopped by SIGTERM or SIGINT; 1 the broker refused the login or the\n"
           "client could not be set up; 2 a bad configuration or command line\n";
}

}  // namespace vantrel::mqtt
