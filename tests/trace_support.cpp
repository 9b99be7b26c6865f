#include "trace_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace test {

std::string host_file(const char* variable) {
    const char* path = std::getenv(variable);
    if (!path) return {};
#ifdef _WIN32
    return std::string("Z:") + path;
#else
    return path;
#endif
}

const std::vector<cm17a::event>& read_trace() {
    static std::vector<cm17a::event> events;
    static std::streamoff offset = 0;
    std::ifstream in(host_file("CM17A_TRACE"), std::ios::binary);
    in.seekg(offset);
    std::ostringstream text;
    text << in.rdbuf();
    std::string fresh = text.str();
    // Only whole lines: the shim may be halfway through writing one.
    const std::size_t end = fresh.rfind('\n');
    fresh.erase(end == std::string::npos ? 0 : end + 1);
    offset += static_cast<std::streamoff>(fresh.size());
    const auto parsed = cm17a::parse_trace(fresh);
    events.insert(events.end(), parsed.begin(), parsed.end());
    return events;
}

void fail_write_number(long seq) {
    std::FILE* f = std::fopen(host_file("CM17A_CONTROL").c_str(), "r+b");
    ASSERT_NE(nullptr, f);
    char text[32];
    std::snprintf(text, sizeof text, "%-30ld\n", seq);
    std::fwrite(text, 1, 31, f);
    std::fclose(f);
}

std::vector<cm17a::event> trace_mark::events() const {
    const auto& all = read_trace();
    return std::vector<cm17a::event>(all.begin() + static_cast<long>(at_), all.end());
}

}  // namespace test
