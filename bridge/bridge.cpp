#include "bridge.h"

#include "availability.h"
#include "command_queue.h"
#include "commands.h"
#include "connection.h"
#include "discovery.h"
#include "identity.h"

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
    std::string text;
    if (random_hex(8, text)) return text;
    return std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

// What the process keeps from one configuration to the next (SIGHUP).
struct process_state {
    command_queue queue;
    beliefs units;
    // This process under its identity, in its presence: one for its whole life, so that its
    // own presence, found again after a reload or a short loss, is never taken for another's.
    const std::string instance = random_instance();
    bool announced = false;        // has published its presence
    bool shared_identity = false;  // another bridge runs under this identity
    // Another run's presence was found before this process announced itself: an earlier run
    // that did not stop cleanly, or a second bridge. Until that is known, nothing is cleared.
    bool other_run_found = false;
    bool answered_twin = false;    // has shown itself once to a bridge found beside it
    bool back_from_pause = false;  // the presence found next is no reason to pause again
    seconds conflict_pause = first_conflict_pause;
    // The commands taken last, to know one that the broker delivers again (its
    // acknowledgement lost) even across a reload.
    struct taken {
        int mid;
        std::string topic, payload;
    };
    std::deque<taken> recent;

    // A reload under another identity or client id: what was found under the old one is no
    // longer known.
    void new_identity() {
        announced = shared_identity = other_run_found = answered_twin = back_from_pause = false;
        conflict_pause = first_conflict_pause;
    }
};

// Whether two configurations meet the broker as the same client, in the same session.
bool same_session(const bridge_config& a, const bridge_config& b) {
    return a.client_id == b.client_id && a.host == b.host && a.port == b.port;
}

class bridge {
  public:
    enum class ending { stopped, reload, refused };

    bridge(const bridge_config& config, const bridge_io& io, process_state& process)
        : config_(config), io_(io), log_(*io.log), process_(process), queue_(process.queue),
          link_(config, log_,
                {[this] { on_connected(); }, [this](bool taken_over) { on_lost(taken_over); },
                 [this](const mosquitto_message& m, bool dup) { on_message(m, dup); },
                 [this](int mid) { on_subscribed(mid); }}),
          state_(link_, config, process.units),
          sender_(config, queue_, state_, log_, *io.sender, io.probe, *io.stop),
          discovery_(discovery_messages(config, io.version, io.support_url)),
          presence_topic_(presence_topic(config)) {
        for (const message& m : discovery_) discovery_topics_.insert(m.topic);
    }

    // The configuration read again for a reload is left in fresh.
    ending run(bridge_config& fresh);

  private:
    void on_connected();
    void on_lost(bool taken_over);
    void on_subscribed(int mid);
    void on_message(const mosquitto_message& msg, bool dup);
    void on_presence(const std::string& payload, bool retained);
    void found_twin(const std::string& who);
    void on_discovery_config(const std::string& topic, const std::string& payload, bool retained);
    void take(const std::string& topic, const std::string& payload, int mid, bool retained,
              bool dup);
    void announce();
    void publish_presence() {
        link_.publish(presence_topic_,
                      presence_payload(process_.instance, io_.host_name, ::getpid(),
                                       config_.client_id),
                      true);
    }
    bool kept_session_is_ours() const {
        return !io_.state_dir.empty() && kept_session(io_.state_dir) == config_.client_id;
    }
    void publish_discovery() {
        for (const message& m : discovery_) link_.publish(m.topic, m.payload, true);
    }
    void end_session();
    bool stopping() const { return *io_.stop != 0; }

    const bridge_config& config_;
    const bridge_io& io_;
    logger& log_;
    process_state& process_;
    command_queue& queue_;
    connection link_;
    availability state_;
    port_sender sender_;
    std::vector<message> discovery_;
    std::set<std::string> discovery_topics_;
    const std::string presence_topic_;

    // The rest is touched on the connection's thread alone.
    int presence_mid_ = 0;        // the presence's subscription
    bool presence_answered_ = false;  // its answer, and so its retained message, has come
    int ready_mid_ = 0;           // the subscription whose answer makes the bridge announce itself
    bool holding_off_ = false;    // found another bridge on this connection: announce nothing
    // The process had announced itself on an earlier connection: a retained presence of another
    // bridge found now was published while this one was away. (One found on the connection
    // this process first announced on is an earlier run's, however late the broker delivers
    // it behind the commands its session kept.)
    bool announced_before_ = false;
};

bridge::ending bridge::run(bridge_config& fresh) {
    if (!link_.set_up(state_.topic(), kept_session_is_ours())) return ending::refused;
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
                sender_.leave();
            } else {
                log_.error("configuration not read again: %s; going on with the one in use",
                           error.c_str());
            }
        }
        // The connection is served until the command in progress is done: a long DIM count
        // must not hold up the broker's keepalive.
        return reload && sender_.left();
    };
    const bool served = link_.serve(done, io_.refusals_final);
    // A stop signal cuts the frame in progress.
    sender_.finish();
    if (reload && !stopping()) {
        // The session stays for the next connection, and the waiting commands for its sender,
        // unless the bridge now meets the broker as another client.
        const bool same = same_session(config_, fresh);
        if (!link_.close(state_.topic(), "offline", !same) && !same) {
            log_.warning("the broker keeps the session of client id %s for up to %u s",
                         config_.client_id.c_str(), config_.session_expiry_s);
        }
        log_.info("configuration read again");
        return ending::reload;
    }
    if (!served) return ending::refused;
    // The next start finds no presence, and so knows that no other run was cut off.
    if (process_.announced && !process_.shared_identity) link_.publish(presence_topic_, "", true);
    end_session();
    log_.info("stopped");
    return ending::stopped;
}

// Commands published while the bridge is stopped on purpose must not wait for its next start.
// A session that another bridge shares under this client id is not this one's to end.
void bridge::end_session() {
    const bool ours = !process_.shared_identity;
    if (link_.close(state_.topic(), "offline", ours)) {
        if (ours && kept_session_is_ours()) forget_kept_session(io_.state_dir);
        return;
    }
    // Not connected, or no answer: the next start ends it. Trying now could hold up the stop
    // for as long as a connection attempt to an unreachable broker takes.
    std::string error;
    if (io_.state_dir.empty() || !note_kept_session(io_.state_dir, config_.client_id, error)) {
        log_.warning("the broker keeps this bridge's session for up to %u s: commands published "
                     "meanwhile are carried out at the next start (%s)",
                     config_.session_expiry_s, error.empty() ? "no state folder" : error.c_str());
        return;
    }
    log_.info("the broker is out of reach: the next start ends the session it keeps");
}

void bridge::on_connected() {
    holding_off_ = false;
    announced_before_ = process_.announced;
    presence_answered_ = false;
    // The connection makes none before the session kept since the last stop is ended.
    if (kept_session_is_ours()) forget_kept_session(io_.state_dir);
    // The presence first, on its own: its retained message, if any, arrives before the answer
    // to the second subscription, and so before this bridge announces itself.
    presence_mid_ = link_.subscribe({presence_topic_});
    std::vector<std::string> filters = command_filters(config_);
    if (config_.discovery) {
        filters.push_back(config_.status_topic);
        filters.push_back(own_discovery_filter(config_));
    }
    ready_mid_ = link_.subscribe(filters);
}

void bridge::on_lost(bool taken_over) {
    state_.disconnected();
    // Another client connected with this one's client id: the same identity, most likely a
    // second bridge (a cloned SD card).
    if (taken_over) found_twin("a client that took over this bridge's session");
}

void bridge::on_subscribed(int mid) {
    if (mid == presence_mid_) presence_answered_ = true;
    if (mid == ready_mid_ && !holding_off_) announce();
}

// A broker without persistence forgets retained messages when it restarts: everything
// retained goes out again on every connection.
void bridge::announce() {
    publish_presence();
    process_.announced = true;
    process_.back_from_pause = false;
    state_.connected();
    publish_discovery();
}

void bridge::found_twin(const std::string& who) {
    if (!process_.shared_identity) {
        log_.error("another bridge runs as node %s (%s), client id %s: give each its own "
                   "node_id (a cloned SD card: remove the copy's stored identity); until then "
                   "neither clears the other's units",
                   config_.node_id.c_str(), who.c_str(), config_.client_id.c_str());
    }
    process_.shared_identity = true;
}

void bridge::on_presence(const std::string& payload, bool retained) {
    std::string other, other_client, who;
    if (!read_presence(payload, other, other_client, who) || other == process_.instance) return;
    if (!retained) {
        // Published live: another bridge runs beside this one. It is shown this one's presence
        // once, so that it knows too.
        found_twin(who);
        if (!process_.answered_twin && process_.announced) {
            process_.answered_twin = true;
            publish_presence();
        }
        return;
    }
    if (process_.back_from_pause) return;  // this one announces itself; the other pauses if alive
    if (!announced_before_) {
        // An earlier run that was cut off, or a bridge running now: which, only time tells.
        if (!process_.other_run_found) {
            log_.info("found the presence of another run (%s): configs of units no longer "
                      "configured are not cleared until a clean restart", who.c_str());
        }
        process_.other_run_found = true;
        return;
    }
    // Published after this process announced itself, while it was away: another bridge runs
    // under this identity. With this client id it has taken over this bridge's session
    // meanwhile; with another (given in its presence) there is no session to fight over.
    found_twin(who);
    if (!other_client.empty() && other_client != config_.client_id) return;
    log_.error("leaving the broker to the other bridge for %lld s",
               static_cast<long long>(process_.conflict_pause.count()));
    holding_off_ = true;
    // Back from the pause, this bridge announces itself again: if the other is gone it serves,
    // and if not, the other finds this one's presence and pauses in turn.
    process_.back_from_pause = true;
    state_.disconnected();
    link_.hold_off(process_.conflict_pause);
    process_.conflict_pause = std::min(process_.conflict_pause * 2, last_conflict_pause);
}

void bridge::on_discovery_config(const std::string& topic, const std::string& payload,
                                 bool retained) {
    // A config this identity published once for a unit no longer configured: cleared, so that
    // its entity goes away instead of lingering as unavailable. Other programs' configs under
    // the same node id, and another bridge's under the same identity, stay. Only the retained
    // configs that the subscription brings, after the presence has been looked at: a config
    // delivered from the session the broker kept (after a crash) comes before the presence.
    if (!retained || !presence_answered_ || payload.empty() || discovery_topics_.count(topic) ||
        !published_by_this_bridge(config_, payload) || process_.shared_identity ||
        process_.other_run_found) {
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
        return on_discovery_config(topic, payload, msg.retain);
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
    auto& recent = process_.recent;
    const bool again = std::any_of(recent.begin(), recent.end(), [&](const process_state::taken& t) {
        return t.mid == mid && t.topic == topic && t.payload == payload;
    });
    if (dup && again) {
        log_.info("%s: sent again by the broker; taken once already", c.label.c_str());
        return;
    }
    recent.push_back({mid, topic, payload});
    if (recent.size() > remembered) recent.pop_front();
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
    process_state process;
    bridge::ending ending = bridge::ending::refused;
    for (;;) {
        bridge_config fresh;
        try {
            bridge b(config, io, process);
            ending = b.run(fresh);
        } catch (const std::exception& e) {
            io.log->error("internal error: %s", e.what());
            ending = bridge::ending::refused;
        }
        if (ending != bridge::ending::reload) break;
        if (presence_topic(config) != presence_topic(fresh) || config.client_id != fresh.client_id)
            process.new_identity();
        config = std::move(fresh);
        // The commands still waiting are sent under the new configuration; those for a unit
        // or house it no longer has are not.
        for (command& c : process.queue.take_all()) {
            if (still_configured(config, c)) {
                process.queue.push(std::move(c));
            } else {
                io.log->warning("%s dropped: no longer configured", c.label.c_str());
            }
        }
    }
    // Taken from the broker already, so lost with the stop: the log says which.
    for (const command& c : process.queue.take_all())
        io.log->warning("%s not sent: the bridge is stopping", c.label.c_str());
    return ending == bridge::ending::stopped ? cli::exit_sent : cli::exit_port_failed;
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
