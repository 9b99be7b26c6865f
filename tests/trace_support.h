// Reading what the virtual CM17A recorded, from a test running inside "cm17a run": a Windows
// test under Wine or a native one.
#pragma once

#include "decoder.h"

#include <string>
#include <vector>

namespace test {

// A Unix path from the environment as this program opens it: under Wine through drive Z:.
// Empty when unset.
std::string host_file(const char* variable);

// Every event of the trace so far; reads only what was appended since the last call.
const std::vector<cm17a::event>& read_trace();

// Makes the line write with this sequence number fail (0: none; -1: every change of the line
// settings instead).
void fail_write_number(long seq);

// Events and sessions recorded after a mark.
class trace_mark {
public:
    trace_mark() : at_(read_trace().size()) {}
    std::vector<cm17a::event> events() const;
    std::vector<cm17a::session> sessions() const { return cm17a::decode(events()); }

private:
    std::size_t at_;
};

}  // namespace test
