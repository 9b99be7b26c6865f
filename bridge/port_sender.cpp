#include "port_sender.h"

#include <sys/stat.h>

#include <chrono>

namespace vantrel::mqtt {
namespace {

using clock = std::chrono::steady_clock;
constexpr auto probe_every = std::chrono::seconds(5);

}  // namespace

port_sender::port_sender(const bridge_config& config, command_queue& queue, availability& state,
                         logger& log, cli::sender& sender, port_probe probe,
                         const volatile std::sig_atomic_t& stop)
    : config_(config), queue_(queue), state_(state), log_(log), sender_(sender),
      probe_(std::move(probe)), stop_(stop) {}

void port_sender::start() {
    leaving_ = false;
    left_ = false;
    thread_ = std::thread([this] {
        try {
            run();
        } catch (const std::exception& e) {
            log_.error("internal error in the sender: %s", e.what());
        }
        left_ = true;
    });
}

void port_sender::leave() {
    leaving_ = true;
    queue_.wake();
}

void port_sender::finish() {
    if (!thread_.joinable()) return;
    leave();
    thread_.join();
}

void port_sender::refuse_waiting() {
    for (const command& c : queue_.take_all()) {
        log_.warning("%s refused: %s is unavailable", c.label.c_str(), config_.serial_port.c_str());
    }
}

void port_sender::run() {
    auto next_probe = clock::now() + probe_every;
    while (!stop_ && !leaving_) {
        if (!state_.port_ok()) {
            // Commands that were waiting when the port failed are refused, not kept for later.
            refuse_waiting();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (clock::now() < next_probe) continue;
            next_probe = clock::now() + probe_every;
            std::string why;
            if (probe_(config_.serial_port, why)) {
                log_.info("%s is back", config_.serial_port.c_str());
                state_.port(true);
            }
            continue;
        }
        command c;
        if (!queue_.pop(c, std::chrono::milliseconds(500))) {
            // An adapter unplugged while idle takes its device with it; looking touches no line.
            if (clock::now() < next_probe) continue;
            next_probe = clock::now() + probe_every;
            struct stat device {};
            if (::stat(config_.serial_port.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) {
                log_.warning("%s is gone", config_.serial_port.c_str());
                state_.port(false);
            }
            continue;
        }
        send(c);
        next_probe = clock::now() + probe_every;
    }
}

void port_sender::send(command& c) {
    if (c.level >= 0) {
        // From what the lamp is believed to be now, after the commands sent before this one.
        const unit_config* unit = find_unit(config_, c.id);
        if (!unit || !unit->dimmable) {
            log_.warning("%s dropped: no dimmable light %s is configured", c.label.c_str(),
                         c.id.c_str());
            return;
        }
        c.frames = level_frames(c.id, state_.level(c.id), c.level, unit->dim_steps);
    }
    cli::settings options;
    options.port = config_.serial_port;
    options.timings = config_.timings;
    options.frame_gap_ms = config_.frame_gap_ms;
    double took = 0;
    std::size_t whole = 0;
    // The states go out as soon as the work's last frame is whole, not after the gap that
    // follows.
    const cli::send_result sent =
        sender_.send(c.frames, options, [&](const cli::frame_order&, double frame_ms) {
            took += frame_ms;
            if (++whole == c.frames.size()) state_.frames_done(c.frames, whole);
        });
    // A work cut short: what its frames sent whole have done.
    if (whole < c.frames.size()) state_.frames_done(c.frames, whole);
    if (sent.status == cli::exit_sent) {
        log_.info("%s sent (%.0f ms)", c.label.c_str(), took);
        state_.command_done(c.label + " sent");
        return;
    }
    const std::string frame = cli::failed_frame(c.frames, sent);
    state_.command_done(frame + " failed: " + sent.message);
    if (sent.status == cli::exit_port_failed && !sent.busy) {
        log_.error("%s failed: %s; offline until %s is back", frame.c_str(), sent.message.c_str(),
                   config_.serial_port.c_str());
        state_.port(false);
    } else {
        // Another sender holding the port too long fails this command, not the port.
        log_.warning("%s failed: %s", frame.c_str(), sent.message.c_str());
    }
}

}  // namespace vantrel::mqtt
