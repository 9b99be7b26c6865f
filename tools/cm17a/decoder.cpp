#include "decoder.h"

#include <sstream>

namespace cm17a {
namespace {

// X10 house codes, indexed by the high nibble of the first byte.
const char house_by_code[16] = {'M', 'N', 'O', 'P', 'C', 'D', 'A', 'B',
                                'E', 'F', 'G', 'H', 'K', 'L', 'I', 'J'};

constexpr std::uint8_t bright = 0x88;
constexpr std::uint8_t dim = 0x98;
constexpr std::uint8_t unit_plus_8 = 0x04;   // first byte
constexpr std::uint8_t unit_plus_4 = 0x40;   // second byte
constexpr std::uint8_t off_bit = 0x20;
constexpr std::uint8_t unit_plus_1 = 0x10;
constexpr std::uint8_t unit_plus_2 = 0x08;

const std::string header_bits = "1101010110101010";
const std::string footer_bits = "10101101";

struct command {
    bool valid = false;
    char house = 0;
    int unit = 0;        // 0 for a whole-house command
    bool off = false;
};

command parse_command(std::uint16_t code) {
    command c;
    const std::uint8_t first = static_cast<std::uint8_t>(code >> 8);
    const std::uint8_t second = static_cast<std::uint8_t>(code & 0xFF);
    c.house = house_by_code[first >> 4];
    const std::uint8_t first_low = first & 0x0F;
    if (second == bright || second == dim) {
        if (first_low != 0) return c;
        c.off = second == dim;
        c.valid = true;
        return c;
    }
    if ((first_low & ~unit_plus_8) != 0) return c;
    if ((second & ~(unit_plus_4 | off_bit | unit_plus_1 | unit_plus_2)) != 0) return c;
    c.unit = 1 + ((first_low & unit_plus_8) ? 8 : 0) + ((second & unit_plus_4) ? 4 : 0) +
             ((second & unit_plus_2) ? 2 : 0) + ((second & unit_plus_1) ? 1 : 0);
    c.off = (second & off_bit) != 0;
    c.valid = true;
    return c;
}

void analyse_frame(session& s) {
    // The reset: the last write that leaves both lines cleared, counted from the first write
    // after the lines were last both set.
    std::size_t reset_end = s.writes.size();
    for (std::size_t i = 0; i < s.writes.size(); ++i) {
        if (s.writes[i].kind != "FAIL" && !s.writes[i].dtr && !s.writes[i].rts) {
            reset_end = i;
            break;
        }
    }
    if (reset_end == s.writes.size()) return;
    std::size_t start = reset_end;
    while (start > 0 && !(s.writes[start - 1].dtr && s.writes[start - 1].rts)) --start;
    s.has_frame = true;
    s.frame_start = start;
    s.frame_writes = s.writes.size() - start;

    // The device powers up once both lines are set again; from then on each drop of one line
    // from the idle state is a bit: DTR dropped reads 1, RTS dropped reads 0.
    bool powered = false;
    bool idle = false;
    for (std::size_t i = reset_end + 1; i < s.writes.size(); ++i) {
        const event& e = s.writes[i];
        if (e.kind == "FAIL") continue;
        if (e.dtr && e.rts) {
            powered = true;
            idle = true;
            continue;
        }
        if (!powered) continue;
        if (!e.dtr && !e.rts) break;  // a second reset ends the frame
        if (idle) s.bits += e.dtr ? '0' : '1';
        idle = false;
    }
    if (s.bits.size() == 40 && s.bits.compare(0, 16, header_bits) == 0 &&
        s.bits.compare(32, 8, footer_bits) == 0) {
        s.complete = true;
        s.code = static_cast<std::uint16_t>(std::stoul(s.bits.substr(16, 16), nullptr, 2));
        s.name = command_name(s.code);
        s.meaning = command_meaning(s.code);
    }

    // Waits follow the frame's shape: two reset writes, then two writes per symbol phase.
    const std::size_t first_wait = start + 1;
    if (first_wait + 1 < s.writes.size()) {
        s.reset_wait_ns = s.writes[first_wait + 1].t_ns - s.writes[first_wait].t_ns;
    }
    for (std::size_t i = first_wait + 2; i + 1 < s.writes.size(); i += 2) {
        s.clock_waits_ns.push_back(s.writes[i + 1].t_ns - s.writes[i].t_ns);
    }
    if (s.closed) {
        s.tail_wait_ns = s.close_t_ns - s.writes.back().t_ns;
        s.frame_ns = s.close_t_ns - s.writes[start].t_ns;
    }
}

}  // namespace

std::vector<event> parse_trace(const std::string& text) {
    std::vector<event> events;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        event e;
        int dtr = 0, rts = 0;
        if (fields >> e.seq >> e.t_ns >> e.kind >> dtr >> rts) {
            e.dtr = dtr != 0;
            e.rts = rts != 0;
            events.push_back(e);
        }
    }
    return events;
}

std::vector<session> decode(const std::vector<event>& events) {
    std::vector<session> sessions;
    session current;
    auto finish = [&] {
        analyse_frame(current);
        sessions.push_back(current);
        current = session();
    };
    for (const event& e : events) {
        // A hang-up is no write of the sender's; a test that cares looks for it in the events.
        if (e.kind == "HUP") continue;
        if (e.kind == "CLOSE") {
            // Descriptors may be closed more than once per opening (duplicates); only a close
            // that ends writes ends a session.
            if (current.writes.empty()) continue;
            current.closed = true;
            current.close_t_ns = e.t_ns;
            finish();
            continue;
        }
        if (e.kind == "FAIL") current.failed_write = true;
        current.writes.push_back(e);
    }
    if (!current.writes.empty()) finish();
    return sessions;
}

std::string command_name(std::uint16_t code) {
    const command c = parse_command(code);
    if (!c.valid) return {};
    std::string name(1, c.house);
    if (c.unit) name += std::to_string(c.unit);
    return name + (c.off ? "OFF" : "ON");
}

std::string command_meaning(std::uint16_t code) {
    const command c = parse_command(code);
    if (!c.valid) return {};
    if (!c.unit) return std::string(1, c.house) + (c.off ? " DIM" : " BRIGHT");
    return std::string(1, c.house) + std::to_string(c.unit) + (c.off ? " OFF" : " ON");
}

}  // namespace cm17a
