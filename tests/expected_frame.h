// A frame as the CM17A line protocol defines it, written from the protocol and not from the
// transmitter, so that a fault in the transmitter's order does not pass unseen.
#pragma once

#include <string>
#include <vector>

namespace test {

// Every step as text: a line write as the modem-line shim names it ("DTR-", "RTS+") and a
// wait as "wait N". A reset (DTR, then RTS cleared), then per symbol its data writes (blank:
// RTS then DTR set; 0: DTR set, RTS cleared; 1: RTS set, DTR cleared), a clock wait, the
// return to idle (RTS, then DTR set) and a clock wait; last the standby.
inline std::vector<std::string> expected_frame(const std::string& code, long clock, long reset,
                                               long standby) {
    const std::string tick = "wait " + std::to_string(clock);
    std::vector<std::string> steps = {"DTR-", "RTS-", "wait " + std::to_string(reset)};
    for (char s : " 1101010110101010" + code + "10101101") {
        if (s == ' ') steps.insert(steps.end(), {"RTS+", "DTR+"});
        if (s == '0') steps.insert(steps.end(), {"DTR+", "RTS-"});
        if (s == '1') steps.insert(steps.end(), {"RTS+", "DTR-"});
        steps.insert(steps.end(), {tick, "RTS+", "DTR+", tick});
    }
    steps.push_back("wait " + std::to_string(standby));
    return steps;
}

// The line writes alone.
inline std::vector<std::string> expected_frame_writes(const std::string& code) {
    std::vector<std::string> writes;
    for (const std::string& step : expected_frame(code, 0, 0, 0)) {
        if (step.compare(0, 4, "wait") != 0) writes.push_back(step);
    }
    return writes;
}

}  // namespace test
