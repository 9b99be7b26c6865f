#include "remotes.h"

#include <nlohmann/json.hpp>

namespace vantrel::mqtt {
namespace {

using nlohmann::json;

// A remote repeats a press every 40 to 110 ms for about half a second; a button held down
// repeats on. A pause longer than this starts a new press.
constexpr auto repeat_pause = std::chrono::milliseconds(400);
// rtl_433's events are a few hundred bytes; a larger payload is not parsed.
constexpr std::size_t max_event = 4096;

}  // namespace

bool read_remote_event(const std::string& payload, cli::frame_order& heard, std::string& why) {
    why.clear();
    if (payload.size() > max_event) {
        why = std::to_string(payload.size()) + " bytes is no event of rtl_433's";
        return false;
    }
    const json event = json::parse(payload, nullptr, false);
    if (event.is_discarded() || !event.is_object()) {
        why = "not a JSON object";
        return false;
    }
    const auto model = event.find("model");
    if (model == event.end() || *model != "X10-RF") return false;
    const auto house = event.find("channel");
    const auto unit = event.find("id");
    const auto state = event.find("state");
    const std::string channel =
        house != event.end() && house->is_string() ? house->get<std::string>() : std::string();
    if (channel.size() != 1 || channel[0] < 'A' || channel[0] > 'P') {
        why = "no house A to P in channel";
        return false;
    }
    if (state == event.end() || !state->is_string()) {
        why = "no state";
        return false;
    }
    const char h = channel[0];
    const std::string& s = state->get_ref<const std::string&>();
    if (s == "DIM" || s == "BRI") {
        heard = cli::house_frame(h, s == "BRI");
        return true;
    }
    if (s != "ON" && s != "OFF") {
        why = "state [" + cli::shown(s) + "] is not ON, OFF, DIM or BRI";
        return false;
    }
    if (unit == event.end() || !unit->is_number_integer() || *unit < 1 || *unit > 16) {
        why = "no unit 1 to 16 in id";
        return false;
    }
    heard = cli::unit_frame(std::string(1, h) + std::to_string(unit->get<int>()), s == "ON");
    return true;
}

void airwaves::echo(std::chrono::milliseconds window) {
    std::lock_guard<std::mutex> hold(lock_);
    echo_ = window;
}

void airwaves::sent(const std::string& label, clock::time_point at) {
    std::lock_guard<std::mutex> hold(lock_);
    while (!sent_.empty() && at - sent_.front().second > echo_) sent_.pop_front();
    sent_.emplace_back(label, at);
}

bool airwaves::new_press(const std::string& label, clock::time_point at) {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto& [frame, when] : sent_) {
        if (frame == label && at >= when && at - when <= echo_) return false;
    }
    const bool repeat = label == last_heard_ && at - last_heard_at_ < repeat_pause;
    last_heard_ = label;
    last_heard_at_ = at;
    return !repeat;
}

}  // namespace vantrel::mqtt
