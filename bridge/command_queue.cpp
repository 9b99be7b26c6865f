#include "command_queue.h"

#include <algorithm>

namespace vantrel::mqtt {

command_queue::outcome command_queue::push(command c) {
    outcome result;
    {
        std::lock_guard<std::mutex> hold(lock_);
        const auto house_step_of = [](const command& waiting, char house) {
            return waiting.what == command::kind::house && waiting.id[0] == house;
        };
        if (c.what == command::kind::unit) {
            // The last waiting command for this unit, unless a step of its house follows it.
            for (auto it = waiting_.rbegin(); it != waiting_.rend(); ++it) {
                if (house_step_of(*it, c.id[0])) break;
                if (it->what == command::kind::unit && it->id == c.id) {
                    result.replaced = it->label;
                    waiting_.erase(std::next(it).base());
                    break;
                }
            }
            if (waiting_.size() >= limit_) {
                const auto step = std::find_if(waiting_.begin(), waiting_.end(), [](const command& w) {
                    return w.what == command::kind::house;
                });
                if (step == waiting_.end()) {
                    result.dropped = c.label;
                    result.dropped_so_far = ++dropped_;
                    return result;
                }
                result.dropped = step->label;
                result.dropped_so_far = ++dropped_;
                waiting_.erase(step);
            }
        } else if (!waiting_.empty() && waiting_.back().what == command::kind::house &&
                   waiting_.back().id == c.id && waiting_.back().on == c.on &&
                   waiting_.back().count + c.count <= max_steps) {
            // Steps of one house in a row add up.
            command& last = waiting_.back();
            result.joined = last.label;
            last = house_command(c.id[0], c.on, last.count + c.count);
            result.taken = true;
            return result;
        } else if (waiting_.size() >= limit_) {
            result.dropped = c.label;
            result.dropped_so_far = ++dropped_;
            return result;
        }
        waiting_.push_back(std::move(c));
        result.taken = true;
    }
    ready_.notify_one();
    return result;
}

bool command_queue::pop(command& out, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> hold(lock_);
    ready_.wait_for(hold, wait, [&] { return woken_ || !waiting_.empty(); });
    if (woken_) {
        woken_ = false;
        return false;
    }
    if (waiting_.empty()) return false;
    out = std::move(waiting_.front());
    waiting_.pop_front();
    return true;
}

void command_queue::wake() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        woken_ = true;
    }
    ready_.notify_all();
}

std::vector<command> command_queue::take_all() {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<command> all(std::make_move_iterator(waiting_.begin()),
                             std::make_move_iterator(waiting_.end()));
    waiting_.clear();
    return all;
}

}  // namespace vantrel::mqtt
