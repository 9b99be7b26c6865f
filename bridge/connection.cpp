#include "connection.h"

#include <unistd.h>

#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace vantrel::mqtt {
namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int qos = 1;
// A broker that is not up yet, or a network that comes and goes: tried again soon.
constexpr auto first_retry = seconds(1);
constexpr auto last_retry = seconds(30);
// A broker that refuses the login or the TLS handshake: after a power cut that is what a
// healthy house looks like until the hub has started (its broker checks logins against it),
// so the bridge keeps trying, less often, and says so loudly each time.
constexpr auto first_refusal_retry = seconds(2);
constexpr auto last_refusal_retry = seconds(180);

// libmosquitto once per process.
struct library {
    library() { mosquitto_lib_init(); }
    ~library() { mosquitto_lib_cleanup(); }
};

// The properties of one packet, freed with it.
struct properties {
    mosquitto_property* list = nullptr;
    ~properties() { mosquitto_property_free_all(&list); }
};

// Nothing is thrown back through libmosquitto, which is C: a fault in a handler is logged and
// that one event is lost.
template <typename F>
void guarded(logger& log, const char* what, F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        log.error("internal error while handling %s: %s", what, e.what());
    }
}

}  // namespace

connection::connection(const bridge_config& config, logger& log, handlers on)
    : config_(config), log_(log), on_(std::move(on)) {
    static library lib;
}

connection::~connection() {
    if (m_) mosquitto_destroy(m_);
}

mosquitto* connection::new_client(bool clean_start, void* self, int& rc) {
    mosquitto* m = mosquitto_new(config_.client_id.c_str(), clean_start, self);
    if (!m) {
        rc = MOSQ_ERR_ERRNO;
        return nullptr;
    }
    mosquitto_threaded_set(m, true);
    rc = mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    if (rc == MOSQ_ERR_SUCCESS && !config_.user.empty()) {
        rc = mosquitto_username_pw_set(m, config_.user.c_str(),
                                       config_.has_password ? config_.password.c_str() : nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS && config_.tls) {
        // Without a CA of its own, the system's store, where OpenSSL looks by default (with
        // the same variables to point elsewhere). Named as files, not through
        // MOSQ_OPT_TLS_USE_OS_CERTS, which libmosquitto 2.0 refuses on every reconnection.
        // Debian's bundle too: a root filesystem made without ca-certificates' maintainer
        // script (a container image) has it, but not the hashed names the folder is read by.
        const char* file = std::getenv("SSL_CERT_FILE");
        const char* dir = std::getenv("SSL_CERT_DIR");
        constexpr const char* bundle = "/etc/ssl/certs/ca-certificates.crt";
        if (!(file && *file) && !(dir && *dir) && ::access(bundle, R_OK) == 0) file = bundle;
        rc = config_.ca_file.empty()
                 ? mosquitto_tls_set(m, file && *file ? file : nullptr,
                                     dir && *dir ? dir : "/etc/ssl/certs", nullptr, nullptr, nullptr)
                 : mosquitto_tls_set(m, config_.ca_file.c_str(), nullptr, nullptr, nullptr,
                                     nullptr);
    }
    return m;
}

bool connection::set_up(const std::string& will_topic, bool end_old_session) {
    old_session_pending_ = end_old_session;
    // A fixed client id without a clean start: the broker keeps the subscriptions and the QoS 1
    // commands that arrive while the bridge is briefly away, and hands them over on reconnect.
    int rc = MOSQ_ERR_SUCCESS;
    m_ = new_client(false, this, rc);
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_will_set(m_, will_topic.c_str(), 7, "offline", qos, true);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        // The one thing the file's check cannot see: the certificate store named by the
        // environment.
        const bool store = config_.tls && config_.ca_file.empty() && rc == MOSQ_ERR_INVAL;
        log_.error("can't set up the MQTT client: %s%s", reason(rc).c_str(),
                   store ? " (is the certificate store readable? SSL_CERT_FILE or SSL_CERT_DIR "
                           "may name another)"
                         : "");
        return false;
    }
    mosquitto_log_callback_set(m_, [](mosquitto*, void* self, int level, const char* text) {
        static_cast<connection*>(self)->on_log(level, text);
    });
    mosquitto_connect_v5_callback_set(
        m_, [](mosquitto*, void* self, int reason, int, const mosquitto_property*) {
            auto* c = static_cast<connection*>(self);
            guarded(c->log_, "a connection", [&] { c->on_connect(reason); });
        });
    mosquitto_disconnect_v5_callback_set(
        m_, [](mosquitto*, void* self, int reason, const mosquitto_property*) {
            auto* c = static_cast<connection*>(self);
            c->disconnect_reason_ = reason;
            c->connected_ = false;
        });
    // A broker that refuses a subscription (its access list) would leave the bridge online
    // and deaf: that is said in the log.
    mosquitto_subscribe_v5_callback_set(
        m_, [](mosquitto*, void* self, int mid, int count, const int* granted,
               const mosquitto_property*) {
            auto* c = static_cast<connection*>(self);
            guarded(c->log_, "a subscription", [&] {
                std::vector<std::string> filters;
                {
                    std::lock_guard<std::mutex> hold(c->subscriptions_lock_);
                    filters = c->subscriptions_[mid];
                    c->subscriptions_.erase(mid);
                }
                for (int i = 0; i < count; ++i) {
                    if (granted[i] >= 0x80) {
                        c->log_.error("the broker refused the subscription to %s: %s",
                                      static_cast<std::size_t>(i) < filters.size()
                                          ? filters[static_cast<std::size_t>(i)].c_str()
                                          : "?",
                                      mosquitto_reason_string(granted[i]));
                    }
                }
                if (c->on_.subscribed) c->on_.subscribed(mid);
            });
        });
    mosquitto_message_v5_callback_set(
        m_, [](mosquitto*, void* self, const mosquitto_message* msg, const mosquitto_property*) {
            auto* c = static_cast<connection*>(self);
            bool dup = false;
            {
                std::lock_guard<std::mutex> hold(c->library_lock_);
                dup = c->received_mid_ == msg->mid && c->received_dup_;
                c->received_mid_ = -1;
            }
            guarded(c->log_, "a message", [&] { c->on_.message(*msg, dup); });
        });
    mosquitto_publish_v5_callback_set(
        m_, [](mosquitto*, void* self, int mid, int, const mosquitto_property*) {
            auto* c = static_cast<connection*>(self);
            if (mid == c->pending_) c->pending_ = -1;
        });
    return true;
}

bool connection::end_old_session() {
    // A client of its own with a clean start and no session after it: the broker drops the
    // session it kept for this client id, and the commands waiting in it.
    bool accepted = false;
    int rc = MOSQ_ERR_SUCCESS;
    mosquitto* m = new_client(true, &accepted, rc);
    if (rc == MOSQ_ERR_SUCCESS) {
        mosquitto_connect_v5_callback_set(
            m, [](mosquitto*, void* flag, int reason, int, const mosquitto_property*) {
                *static_cast<bool*>(flag) = reason == 0;
            });
        properties connect;
        mosquitto_property_add_int32(&connect.list, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 0);
        rc = mosquitto_connect_bind_v5(m, config_.host.c_str(), config_.port, config_.keepalive_s,
                                       nullptr, connect.list);
        const auto until = clock::now() + seconds(2);
        while (rc == MOSQ_ERR_SUCCESS && !accepted && clock::now() < until) {
            rc = mosquitto_loop(m, 50, 1);
        }
        if (accepted) {
            mosquitto_disconnect(m);
            mosquitto_loop(m, 50, 1);
        }
    }
    if (m) mosquitto_destroy(m);
    if (accepted) old_session_pending_ = false;
    return accepted;
}

void connection::on_log(int level, const char* text) {
    std::lock_guard<std::mutex> hold(library_lock_);
    if (level == MOSQ_LOG_ERR) {
        last_tls_error_ = text;
        return;
    }
    // libmosquitto hands a PUBLISH's DUP flag to its debug log alone, on the thread that then
    // calls the message callback: "Client ID received PUBLISH (d1, q1, r0, m5, 'topic', ...".
    const char* publish = level == MOSQ_LOG_DEBUG ? std::strstr(text, "received PUBLISH (d") : nullptr;
    int dup = 0, q = 0, r = 0, mid = 0;
    if (publish && std::sscanf(publish, "received PUBLISH (d%d, q%d, r%d, m%d", &dup, &q, &r, &mid) == 4) {
        received_mid_ = mid;
        received_dup_ = dup != 0;
    }
}

void connection::on_connect(int reason_code) {
    if (reason_code != 0) {
        refused_reason_ = reason_code;
        return;
    }
    connected_ = true;
    accepted_ = true;
    ever_connected_ = true;
    log_.info("connected to %s:%d", config_.host.c_str(), config_.port);
    on_.connected();
}

std::string connection::reason(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    if (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE) {
        std::lock_guard<std::mutex> hold(library_lock_);
        if (!last_tls_error_.empty()) return last_tls_error_;
    }
    return mosquitto_strerror(rc);
}

void connection::wait(seconds span, const std::function<bool()>& done) {
    const auto until = clock::now() + span;
    while (!done() && clock::now() < until) std::this_thread::sleep_for(milliseconds(50));
}

void connection::hold_off(seconds span) { hold_off_s_ = std::max<long long>(span.count(), 1); }

bool connection::serve(const std::function<bool()>& done, bool refusals_final) {
    seconds retry = first_retry, refusal_retry = first_refusal_retry;
    const std::string broker = config_.host + ":" + std::to_string(config_.port);
    while (!done()) {
        refused_reason_ = 0;
        disconnect_reason_ = 0;
        accepted_ = false;
        hold_off_s_ = 0;
        {
            std::lock_guard<std::mutex> hold(library_lock_);
            last_tls_error_.clear();
        }
        // No connection of the bridge's own until the old session is gone: it would take
        // over the session, with the commands waiting in it.
        if (old_session_pending_) {
            if (!end_old_session()) {
                log_.warning("can't end the session that %s kept since the last stop; trying "
                             "again in %lld s", broker.c_str(), static_cast<long long>(retry.count()));
                wait(retry, done);
                retry = std::min(retry * 2, last_retry);
                continue;
            }
            log_.info("the session the broker kept since the last stop is ended");
        }
        properties connect;
        mosquitto_property_add_int32(&connect.list, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                     config_.session_expiry_s);
        int rc = mosquitto_connect_bind_v5(m_, config_.host.c_str(), config_.port,
                                           config_.keepalive_s, nullptr, connect.list);
        if (rc == MOSQ_ERR_SUCCESS) {
            while (!done()) {
                rc = mosquitto_loop(m_, 100, 1);
                if (rc != MOSQ_ERR_SUCCESS) break;
                if (hold_off_s_ > 0) {
                    // A plain disconnect: the session stays, the will is not sent.
                    mosquitto_disconnect(m_);
                    mosquitto_loop(m_, 100, 1);
                    break;
                }
            }
        }
        // Still connected when done: close() says goodbye on this connection.
        if (done()) break;
        connected_ = false;
        if (hold_off_s_ > 0) {
            wait(seconds(hold_off_s_), done);
            continue;
        }
        // Set by the callbacks, so a connection accepted and lost within one loop counts.
        const bool accepted = accepted_;
        if (accepted && on_.lost) on_.lost(disconnect_reason_ == MQTT_RC_SESSION_TAKEN_OVER);
        const int refused = refused_reason_;
        const bool tls = !accepted && (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE);
        if (refused || tls) {
            const std::string why = refused ? std::string("the broker refused the connection: ") +
                                                  mosquitto_reason_string(refused)
                                            : "can't connect to " + broker + " over TLS: " + reason(rc);
            if (refusals_final && !ever_connected_) {
                log_.error("%s", why.c_str());
                return false;
            }
            log_.error("%s; trying again in %lld s", why.c_str(),
                       static_cast<long long>(refusal_retry.count()));
            wait(refusal_retry, done);
            refusal_retry = std::min(refusal_retry * 2, last_refusal_retry);
            continue;
        }
        if (accepted) {
            retry = first_retry;
            refusal_retry = first_refusal_retry;
        }
        log_.warning("%s %s%s: %s; trying again in %lld s",
                     accepted ? "connection to" : "can't connect to", broker.c_str(),
                     accepted ? " lost" : "", reason(rc).c_str(),
                     static_cast<long long>(retry.count()));
        wait(retry, done);
        retry = std::min(retry * 2, last_retry);
    }
    return true;
}

int connection::publish(const std::string& topic, const std::string& payload, bool retain) {
    int mid = 0;
    const int rc = mosquitto_publish_v5(m_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                        payload.data(), qos, retain, nullptr);
    if (rc == MOSQ_ERR_SUCCESS) return mid;
    if (rc != MOSQ_ERR_NO_CONN) log_.warning("can't publish %s: %s", topic.c_str(), reason(rc).c_str());
    return 0;
}

int connection::subscribe(const std::vector<std::string>& filters) {
    std::vector<char*> list;
    for (const std::string& f : filters) list.push_back(const_cast<char*>(f.c_str()));
    int mid = 0;
    const int rc = mosquitto_subscribe_multiple(m_, &mid, static_cast<int>(list.size()),
                                                list.data(), qos, 0, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        if (rc != MOSQ_ERR_NO_CONN) log_.warning("can't subscribe: %s", reason(rc).c_str());
        return 0;
    }
    std::lock_guard<std::mutex> hold(subscriptions_lock_);
    subscriptions_[mid] = filters;
    return mid;
}

void connection::unsubscribe(const std::vector<std::string>& filters) {
    std::vector<char*> list;
    for (const std::string& f : filters) list.push_back(const_cast<char*>(f.c_str()));
    const int rc = mosquitto_unsubscribe_multiple(m_, nullptr, static_cast<int>(list.size()),
                                                  list.data(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN)
        log_.warning("can't unsubscribe: %s", reason(rc).c_str());
}

bool connection::close(const std::string& topic, const std::string& payload, bool end_session) {
    if (!connected_) return !end_session;
    pending_ = -2;
    const int mid = publish(topic, payload, true);
    bool answered = false;
    if (mid != 0) {
        pending_ = mid;
        const auto until = clock::now() + seconds(2);
        while (pending_ != -1 && clock::now() < until &&
               mosquitto_loop(m_, 50, 1) == MOSQ_ERR_SUCCESS) {
        }
        answered = pending_ == -1;
    }
    properties disconnect;
    if (end_session && answered) {
        mosquitto_property_add_int32(&disconnect.list, MQTT_PROP_SESSION_EXPIRY_INTERVAL, 0);
    }
    mosquitto_disconnect_v5(m_, 0, disconnect.list);
    mosquitto_loop(m_, 50, 1);
    connected_ = false;
    return answered || !end_session;
}

}  // namespace vantrel::mqtt
