#include "mqtt_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace test {
namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int connect_to(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

}  // namespace

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t size = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
        throw std::runtime_error("no free port");
    }
    close(fd);
    return ntohs(a.sin_port);
}

broker::broker(const std::string& dir, const std::string& extra)
    : dir_(dir), config_(dir + "/broker.conf"), port_(free_port()) {
    start(extra);
}

void broker::start(const std::string& extra) {
    stop();
    // As root, mosquitto would otherwise drop to its own user and lose the test's files.
    std::ofstream(config_) << "listener " << port_ << " 127.0.0.1\n"
                           << (extra.find("password_file") == std::string::npos
                                   ? "allow_anonymous true\n"
                                   : "allow_anonymous false\n")
                           << "persistence false\n"
                           << (geteuid() == 0 ? "user root\n" : "") << extra;
    process_ = new child({"mosquitto", "-c", config_}, dir_ + "/broker");
    if (!eventually([&] {
            const int fd = connect_to(port_);
            if (fd >= 0) close(fd);
            return fd >= 0;
        })) {
        throw std::runtime_error("mosquitto did not start: " + process_->err());
    }
}

std::string broker::log() const { return process_ ? process_->err() : ""; }

void broker::reload() const {
    if (process_) process_->signal(SIGHUP);
}

void broker::stop() {
    delete process_;
    process_ = nullptr;
}

client::client(int port, const std::string& user, const std::string& password) {
    mosquitto_lib_init();
    m_ = mosquitto_new(nullptr, true, this);
    if (!user.empty()) mosquitto_username_pw_set(m_, user.c_str(), password.c_str());
    mosquitto_message_callback_set(m_, [](mosquitto*, void* self, const mosquitto_message* m) {
        auto* c = static_cast<client*>(self);
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::lock_guard<std::mutex> hold(c->lock_);
        c->messages_.push_back({m->topic,
                                std::string(static_cast<const char*>(m->payload),
                                            static_cast<std::size_t>(m->payloadlen)),
                                m->retain, now.tv_sec * 1000000000LL + now.tv_nsec});
    });
    mosquitto_publish_callback_set(
        m_, [](mosquitto*, void* self, int) { static_cast<client*>(self)->acked(true); });
    mosquitto_subscribe_callback_set(m_, [](mosquitto*, void* self, int, int, const int*) {
        static_cast<client*>(self)->acked(false);
    });
    if (mosquitto_connect(m_, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS ||
        mosquitto_loop_start(m_) != MOSQ_ERR_SUCCESS) {
        throw std::runtime_error("the test's client cannot connect");
    }
}

client::~client() {
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, false);
    mosquitto_destroy(m_);
}

void client::subscribe(const std::string& filter) {
    const int before = count(subacks_);
    mosquitto_subscribe(m_, nullptr, filter.c_str(), 1);
    if (!wait_past(subacks_, before)) {
        throw std::runtime_error("no SUBACK for " + filter);
    }
}

void client::publish(const std::string& topic, const std::string& payload, bool retain) {
    const int before = count(pubacks_);
    if (mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, retain) != MOSQ_ERR_SUCCESS ||
        !wait_past(pubacks_, before)) {
        throw std::runtime_error("no PUBACK for " + topic);
    }
}

void client::acked(bool publish) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        ++(publish ? pubacks_ : subacks_);
    }
    ack_.notify_all();
}

int client::count(const int& acks) const {
    std::lock_guard<std::mutex> hold(lock_);
    return acks;
}

// Woken by the acknowledgement itself, so that a burst of publishes goes at the broker's pace.
bool client::wait_past(const int& acks, int before) {
    std::unique_lock<std::mutex> hold(lock_);
    return ack_.wait_for(hold, std::chrono::seconds(20), [&] { return acks > before; });
}

std::vector<received> client::messages() const {
    std::lock_guard<std::mutex> hold(lock_);
    return messages_;
}

std::vector<received> client::on(const std::string& topic) const {
    std::vector<received> out;
    for (const received& r : messages()) {
        if (r.topic == topic) out.push_back(r);
    }
    return out;
}

bool client::wait_for(const std::string& topic, const std::string& payload, std::size_t n) {
    return eventually([&] {
        std::size_t seen = 0;
        for (const received& r : on(topic)) seen += r.payload == payload;
        return seen >= n;
    });
}

tcp_proxy::tcp_proxy(int target, int port) : target_(target), port_(port ? port : free_port()) {
    listen_now();
    thread_ = std::thread([this] { serve(); });
}

tcp_proxy::~tcp_proxy() {
    done_ = true;
    thread_.join();
    cut();
}

void tcp_proxy::listen_now() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const sockaddr_in a = loopback(port_);
    // The listener cut a moment ago lives on while the serving thread's poll still holds it.
    if (!eventually([&] { return bind(listener_, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0; },
                    std::chrono::seconds(2)) ||
        listen(listener_, 8) != 0) {
        throw std::runtime_error("the proxy cannot listen");
    }
}

void tcp_proxy::cut() {
    std::lock_guard<std::mutex> hold(lock_);
    cut_ = true;
    deaf_ = false;
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
    for (const auto& [a, b] : pairs_) {
        shutdown(a, SHUT_RDWR);
        shutdown(b, SHUT_RDWR);
        close(a);
        close(b);
    }
    pairs_.clear();
}

void tcp_proxy::restore() {
    std::lock_guard<std::mutex> hold(lock_);
    listen_now();
    cut_ = false;
}

void tcp_proxy::serve() {
    while (!done_) {
        std::vector<pollfd> fds;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (listener_ >= 0) fds.push_back({listener_, POLLIN, 0});
            for (const auto& [a, b] : pairs_) {
                fds.push_back({a, POLLIN, 0});
                fds.push_back({b, POLLIN, 0});
            }
        }
        if (poll(fds.data(), fds.size(), 20) <= 0) continue;
        std::lock_guard<std::mutex> hold(lock_);
        for (const pollfd& p : fds) {
            if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            if (p.fd == listener_) {
                const int in = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                const int out = in >= 0 ? connect_to(target_) : -1;
                if (out >= 0) {
                    pairs_.push_back({in, out});
                } else if (in >= 0) {
                    close(in);
                }
                continue;
            }
            for (auto it = pairs_.begin(); it != pairs_.end(); ++it) {
                if (it->first != p.fd && it->second != p.fd) continue;
                const int to = it->first == p.fd ? it->second : it->first;
                char buffer[4096];
                const ssize_t n = read(p.fd, buffer, sizeof buffer);
                if (n > 0 && deaf_ && p.fd == it->first) break;
                if (n <= 0 || write(to, buffer, static_cast<std::size_t>(n)) != n) {
                    close(it->first);
                    close(it->second);
                    pairs_.erase(it);
                }
                break;
            }
        }
    }
}

}  // namespace test
