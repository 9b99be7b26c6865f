// The bridge's connection to its broker, on libmosquitto: MQTT 5 with a session that outlives
// a short absence (session_expiry), reconnection for ever with back-off, and every failure
// logged with the broker's or the TLS library's reason. Its callbacks run on the thread that
// calls serve(); publish and subscribe may be called from any thread.
#pragma once

#include "bridge_config.h"
#include "bridge_log.h"

#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vantrel::mqtt {

class connection {
  public:
    struct handlers {
        std::function<void()> connected;  // the broker accepted the connection
        // An accepted connection ended, not by the bridge; taken_over: the broker ended it
        // because another client connected with this one's client id.
        std::function<void(bool taken_over)> lost;
        // dup: the broker flagged it as sent before (its acknowledgement was lost).
        std::function<void(const mosquitto_message& msg, bool dup)> message;
        std::function<void(int mid)> subscribed;  // the broker answered subscription mid
    };

    connection(const bridge_config& config, logger& log, handlers on);
    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;
    ~connection();

    // Makes the client, with will: false, with the reason logged, when it cannot be made.
    // end_old_session: before its first connection, the bridge ends the session that the broker
    // may still keep for its client id (the last run was stopped on purpose while the broker
    // was out of reach); serve() connects once that is done.
    bool set_up(const std::string& will_topic, bool end_old_session);
    // Connects and serves until done() holds, reconnecting for ever. With refusals_final, a
    // login or TLS handshake refused before the first connection ends it at once: false.
    bool serve(const std::function<bool()>& done, bool refusals_final);
    // Ends the connection now and connects again no sooner than after span.
    void hold_off(std::chrono::seconds span);

    // Both return the message id, or 0 when nothing could be sent (no connection).
    int publish(const std::string& topic, const std::string& payload, bool retain);
    int subscribe(const std::vector<std::string>& filters);
    // Ends subscriptions that the session keeps (a reload that no longer wants them).
    void unsubscribe(const std::vector<std::string>& filters);
    bool connected() const { return connected_; }

    // After serve: publishes payload on topic (the bridge's offline), waiting up to 2 s for
    // the broker's answer, then disconnects, ending the broker's session when end_session
    // (commands published while the bridge is stopped on purpose must not wait for its next
    // start) and only once the broker has just answered, so that a dead broker cannot hold up
    // the stop. False when a session to end could not be ended: not connected, or no answer.
    bool close(const std::string& topic, const std::string& payload, bool end_session);

  private:
    // Connects once with a clean start and no session expiry, and disconnects: the broker ends
    // the session of this client id. Waits up to 2 s for its answer; false when the broker did
    // not take it.
    bool end_old_session();
    mosquitto* new_client(bool clean_start, void* self, int& rc);
    void on_connect(int reason);
    void on_log(int level, const char* text);
    std::string reason(int rc);
    void wait(std::chrono::seconds span, const std::function<bool()>& done);

    const bridge_config& config_;
    logger& log_;
    handlers on_;
    mosquitto* m_ = nullptr;
    std::atomic<bool> connected_{false};
    std::atomic<bool> ever_connected_{false};
    std::atomic<bool> old_session_pending_{false};
    std::atomic<bool> accepted_{false};       // the present attempt's connection was accepted
    std::atomic<int> disconnect_reason_{0};   // the reason the broker gave for ending it
    std::atomic<int> refused_reason_{0};      // the CONNACK's reason code when it refused
    std::atomic<long long> hold_off_s_{0};    // a pause asked for by hold_off
    std::atomic<int> pending_{-1};            // the message close() waits for

    std::mutex library_lock_;     // guards the two below, written by the library's log
    std::string last_tls_error_;  // the TLS library's last words
    int received_mid_ = -1;       // the PUBLISH being handed to the message callback
    bool received_dup_ = false;

    std::mutex subscriptions_lock_;
    std::map<int, std::vector<std::string>> subscriptions_;  // mid to filters, until the SUBACK
};

}  // namespace vantrel::mqtt
