// The bridge's queue of commands: whatever arrives, the last ON or OFF asked of a unit is sent,
// BRIGHT and DIM keep the lamp they act on, and the bound holds.
#include "command_queue.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using vantrel::mqtt::command;
using vantrel::mqtt::command_queue;

// "A1 ON", "A1 OFF", "E DIM 3", "E BRIGHT": what a message on a command topic gives.
command parse(const std::string& text) {
    std::istringstream words(text);
    std::string id, verb;
    int count = 1;
    words >> id >> verb >> count;
    if (id.size() == 1) return vantrel::mqtt::house_command(id[0], verb == "BRIGHT", count);
    command c;
    c.id = id;
    c.on = verb == "ON";
    c.frames = {vantrel::cli::unit_frame(id, c.on)};
    c.label = c.frames.back().label;
    return c;
}

TEST(CommandQueue, KeepsTheLastStateAskedOfEachUnit) {
    const struct {
        const char* rule;
        std::size_t limit;
        std::vector<std::string> pushed;
        std::vector<std::string> waiting;  // labels, in sending order
        std::string replaced, joined, dropped;  // the last push's outcome
    } cases[] = {
        {"a unit's new command replaces its waiting one, and goes last", 8,
         {"A1 ON", "E3 ON", "A1 OFF"}, {"E3 ON", "A1 OFF"}, "A1 ON", "", ""},
        {"but not across a step of its house, which acts on the lamp addressed before it", 8,
         {"E1 ON", "E DIM", "E1 OFF"}, {"E1 ON", "E DIM", "E1 OFF"}, "", "", ""},
        {"a step of another house is no barrier", 8,
         {"E1 ON", "A DIM", "E1 OFF"}, {"A DIM", "E1 OFF"}, "E1 ON", "", ""},
        {"steps of one house in a row add up", 8,
         {"E DIM 2", "E DIM 3"}, {"E DIM x5"}, "", "E DIM x2", ""},
        {"up to 32", 8, {"E DIM 30", "E DIM 3"}, {"E DIM x30", "E DIM x3"}, "", "", ""},
        {"BRIGHT does not join DIM", 8, {"E DIM", "E BRIGHT"}, {"E DIM", "E BRIGHT"}, "", "", ""},
        {"a full queue drops a new step", 2,
         {"A DIM", "A BRIGHT", "A DIM"}, {"A DIM", "A BRIGHT"}, "", "", "A DIM"},
        {"and makes room for a unit by dropping its oldest step", 3,
         {"A1 ON", "A DIM", "E BRIGHT", "E1 OFF"}, {"A1 ON", "E BRIGHT", "E1 OFF"}, "", "", "A DIM"},
        {"a unit that replaces its own waiting command needs no room", 2,
         {"A1 ON", "E1 ON", "A1 OFF"}, {"E1 ON", "A1 OFF"}, "A1 ON", "", ""},
    };
    for (const auto& c : cases) {
        command_queue queue(c.limit);
        command_queue::outcome last;
        for (const std::string& text : c.pushed) last = queue.push(parse(text));
        std::vector<std::string> waiting;
        for (const command& w : queue.take_all()) waiting.push_back(w.label);
        EXPECT_EQ(c.waiting, waiting) << c.rule;
        EXPECT_EQ(c.replaced, last.replaced) << c.rule;
        EXPECT_EQ(c.joined, last.joined) << c.rule;
        EXPECT_EQ(c.dropped, last.dropped) << c.rule;
    }
}

}  // namespace
