#include "bridge.h"

#include "availability.h"
#include "command_queue.h"
#include "commands.h"
#include "connection.h"
#include "discovery.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <set>

namespace vantrel::mqtt {
namespace {

using std::chrono::seconds;

// A second bridge that took this one's session: the bridge leaves the broker to it, for longer
// each time it finds it again.
constexpr auto first_conflict_pause = seconds(30);
constexpr auto last_conflict_pause = seconds(300);
// Commands remembered, to know a redelivery of one already taken.
constexpr std::size_t remembered = 64;

std::string random_instance() {
    unsigned char bytes[8] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        std::memcpy(bytes, &now, std::min(sizeof bytes, sizeof now));
    }
    std::string text;
    for (unsigned char b : bytes) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", b);
        text += hex;
    }
    return text;
}

class bridge {
  public:
    enum class ending { stopped, reload, refused };

    bridge(const bridge_config& config, const bridge_io& io, command_queue& queue)
        : config_(config), io_(io), log_(*io.log), queue_(queue),
          link_(config, log_,
                {[this] { on_connected(); }, [this] { on_lost(); },
                 [this](const mosquitto_message& m, bool dup) { on_message(m, dup); },
                 [this](int mid) { on_subscribed(mid); }}),
          state_(link_, availability_topic(config)),
          sender_(config, queue, state_, link_, log_, *io.sender, io.probe, *io.stop),
          discovery_(discovery_messages(config, io.version, io.support_url)),
          presence_topic_(presence_topic(config)), instance_(random_instance()) {
        for (const message& m : discovery_) discovery_topics_.insert(m.topic);
    }

    // The configuration read again for a reload is left in fresh.
    ending run(bridge_config& fresh);

  private:
    void on_connected();
    void on_lost();
    void on_subscribed(int mid);
    void on_message(const mosquitto_message& msg, bool dup);
    void on_presence(const std::string& payload, bool retained);
    void on_discovery_config(const std::string& topic, const std::string& payload);
    void take(const std::string& topic, const std::string& payload, int mid, bool retained,
              bool dup);
    void announce();
    void publish_discovery() {
        for (const message& m : discovery_) link_.publish(m.topic, m.payload, true);
    }
    bool stopping() const { return *io_.stop != 0; }

    const bridge_config& config_;
    const bridge_io& io_;
    logger& log_;
    command_queue& queue_;
    connection link_;
    availability state_;
    port_sender sender_;
    std::vector<message> discovery_;
    std::set<std::string> discovery_topics_;
    const std::string presence_topic_;
    const std::string instance_;

    // The rest is touched on the connection's thread alone.
    int ready_mid_ = 0;           // the subscription whose answer makes the bridge announce itself
    bool announced_ = false;      // this run has published its presence
    bool lost_since_announced_ = false;
    bool holding_off_ = false;    // found another bridge on this connection: announce nothing
    bool shared_identity_ = false;  // another bridge runs under this identity
    seconds conflict_pause_ = first_conflict_pause;
    struct taken {
        int mid;
        std::string topic, payload;
    };
    std::deque<taken> recent_;
};

bridge::ending bridge::run(bridge_config& fresh) {
    if (!link_.set_up(state_.topic())) return ending::refused;
    // Online only with a port that opens: known before the first connection.
    std::string why;
    const bool port_ok = io_.probe(config_.serial_port, why);
    state_.port(port_ok);
    if (!port_ok) log_.warning("%s is unavailable: %s", config_.serial_port.c_str(), why.c_str());
    sender_.start();
    bool reload = false;
    const auto done = [&] {
        if (stopping()) return true;
        if (!reload && *io_.reload) {
            *io_.reload = 0;
            std::string error;
            if (io_.reread(fresh, error)) {
                reload = true;
            } else {
                log_.error("configuration not read again: %s; going on with the one in use",
                           error.c_str());
            }
        }
        return reload;
    };
    const bool served = link_.serve(done, io_.refusals_final);
    // A stop signal cuts the frame in progress; a reload lets it end.
    sender_.finish();
    if (reload && !stopping()) {
        // The session stays for the next connection, and the waiting commands for its sender.
        link_.close(state_.topic(), "offline", false);
        log_.info("configuration read again");
        return ending::reload;
    }
    // Taken from the broker already, so lost with the stop: the log says which.
    for (const command& c : queue_.take_all())
        log_.warning("%s not sent: the bridge is stopping", c.label.c_str());
    if (!served) return ending::refused;
    link_.close(state_.topic(), "offline", true);
    log_.info("stopped");
    return ending::stopped;
}

void bridge::on_connected() {
    holding_off_ = false;
    // The presence first, on its own: its retained message, if any, arrives before the answer
    // to the second subscription, and so before this bridge announces itself.
    link_.subscribe({presence_topic_});
    std::vector<std::string> filters = command_filters(config_);
    if (config_.discovery) {
        filters.push_back(config_.status_topic);
        filters.push_back(own_discovery_filter(config_));
    }
    ready_mid_ = link_.subscribe(filters);
}

void bridge::on_lost() {
    state_.disconnected();
    if (announced_) lost_since_announced_ = true;
}

void bridge::on_subscribed(int mid) {
    if (mid == ready_mid_ && !holding_off_) announce();
}

// A broker without persistence forgets retained messages when it restarts: everything
// retained goes out again on every connection.
void bridge::announce() {
    link_.publish(presence_topic_, presence_payload(instance_, io_.host_name, ::getpid()), true);
    announced_ = true;
    lost_since_announced_ = false;
    state_.connected();
    publish_discovery();
}

void bridge::on_presence(const std::string& payload, bool retained) {
    std::string other, who;
    if (!read_presence(payload, other, who) || other == instance_) return;
    // Retained and found on a first connection, it is an earlier run's: this one replaces it.
    // Found on connecting again after a loss, the other bridge has taken over this bridge's
    // session (the same client id) meanwhile. Published live, it runs beside this one.
    const bool took_over = retained && lost_since_announced_;
    if (retained && !took_over) return;
    shared_identity_ = true;
    log_.error("another bridge runs as node %s (%s), client id %s: give each its own node_id "
               "(a cloned SD card: remove the copy's stored identity); until then neither clears "
               "the other's units",
               config_.node_id.c_str(), who.c_str(), config_.client_id.c_str());
    if (!took_over) return;
    log_.error("leaving the broker to the other bridge for %lld s",
               static_cast<long long>(conflict_pause_.count()));
    holding_off_ = true;
    // Back from the pause, this bridge announces itself again: if the other is gone it serves,
    // and if not, the other finds this one's presence and pauses in turn.
    lost_since_announced_ = false;
    state_.disconnected();
    link_.hold_off(conflict_pause_);
    conflict_pause_ = std::min(conflict_pause_ * 2, last_conflict_pause);
}

void bridge::on_discovery_config(const std::string& topic, const std::string& payload) {
    // A config this identity published once for a unit no longer configured: cleared, so that
    // its entity goes away instead of lingering as unavailable. Other programs' configs under
    // the same node id, and another bridge's under the same identity, stay.
    if (payload.empty() || discovery_topics_.count(topic) ||
        !published_by_this_bridge(config_, payload) || shared_identity_) {
        return;
    }
    log_.info("cleared %s: the unit is no longer configured", topic.c_str());
    link_.publish(topic, "", true);
}

void bridge::on_message(const mosquitto_message& msg, bool dup) {
    const std::string topic = msg.topic;
    const std::string payload(static_cast<const char*>(msg.payload),
                              static_cast<std::size_t>(std::max(msg.payloadlen, 0)));
    if (io_.verbose) log_.info("<- %s %s", topic.c_str(), payload.c_str());
    if (topic == presence_topic_) return on_presence(payload, msg.retain);
    if (config_.discovery && topic == config_.status_topic) {
        if (payload == "online" && !holding_off_) {
            log_.info("Home Assistant is online: discovery published again");
            publish_discovery();
        }
        return;
    }
    bool discovery_config = false;
    if (config_.discovery &&
        mosquitto_topic_matches_sub(own_discovery_filter(config_).c_str(), topic.c_str(),
                                    &discovery_config) == MOSQ_ERR_SUCCESS &&
        discovery_config) {
        return on_discovery_config(topic, payload);
    }
    take(topic, payload, msg.mid, msg.retain, dup);
}

void bridge::take(const std::string& topic, const std::string& payload, int mid, bool retained,
                  bool dup) {
    command c;
    std::string why = parse_command(config_, topic, payload, c);
    if (why.empty() && retained) why = "a retained command is not taken";
    if (!why.empty()) {
        log_.warning("%s: %s; nothing sent", topic.c_str(), why.c_str());
        return;
    }
    // Sent again by the broker because the acknowledgement was lost (a connection cut just
    // then): taken once already, so not run twice.
    const bool again = std::any_of(recent_.begin(), recent_.end(), [&](const taken& t) {
        return t.mid == mid && t.topic == topic && t.payload == payload;
    });
    if (dup && again) {
        log_.info("%s: sent again by the broker; taken once already", c.label.c_str());
        return;
    }
    recent_.push_back({mid, topic, payload});
    if (recent_.size() > remembered) recent_.pop_front();
    if (stopping()) {
        log_.warning("%s not taken: the bridge is stopping", c.label.c_str());
        return;
    }
    if (!state_.port_ok()) {
        log_.warning("%s refused: %s is unavailable", c.label.c_str(), config_.serial_port.c_str());
        return;
    }
    const std::string label = c.label;
    const command_queue::outcome o = queue_.push(std::move(c));
    if (!o.replaced.empty()) {
        log_.info("%s replaces %s, which was still waiting", label.c_str(), o.replaced.c_str());
    }
    if (!o.joined.empty()) {
        log_.info("%s joins the waiting %s", label.c_str(), o.joined.c_str());
    }
    if (o.dropped == label) {
        log_.warning("%s dropped: %zu commands wait already (%zu dropped so far)", label.c_str(),
                     queue_.limit(), o.dropped_so_far);
    } else if (!o.dropped.empty()) {
        log_.warning("%s dropped to make room for %s: %zu commands wait (%zu dropped so far)",
                     o.dropped.c_str(), label.c_str(), queue_.limit(), o.dropped_so_far);
    }
}

}  // namespace

int run_bridge(bridge_config config, const bridge_io& io) {
    // Outlives a reload, with the commands still waiting in it.
    command_queue queue;
    for (;;) {
        bridge_config fresh;
        bridge::ending ending = bridge::ending::refused;
        try {
            bridge b(config, io, queue);
            ending = b.run(fresh);
        } catch (const std::exception& e) {
            io.log->error("internal error: %s", e.what());
            return cli::exit_port_failed;
        }
        if (ending == bridge::ending::reload) {
            config = std::move(fresh);
            continue;
        }
        return ending == bridge::ending::stopped ? cli::exit_sent : cli::exit_port_failed;
    }
}

std::string bridge_usage() {
    return "usage: vantrel mqtt --config FILE [--verbose | --check]\n"
           "Runs vantrel as an MQTT bridge: the units of FILE appear in Home Assistant through\n"
           "MQTT discovery, and commands on <base_topic>/<node_id>/<ID>/set switch them.\n"
           "  --config FILE  the YAML configuration (see /etc/vantrel/mqtt.yaml)\n"
           "  --verbose      log every MQTT message\n"
           "  --check        check FILE as this user, say what the bridge would do, and exit\n"
           "SIGTERM or SIGINT stops it; SIGHUP reads FILE again.\n"
           "exit status: 0 stopped; 1 the MQTT client could not be set up, or, run from a\n"
           "terminal, the broker refused it before it had ever connected; 2 a bad configuration\n"
           "or command line\n";
}

}  // namespace vantrel::mqtt
