#include "command_line.h"

#include "ascii.h"
#include "switch_table.h"

#include <cstdint>
#include <cstdio>

namespace vantrel::cli {
namespace {

// A default frame takes about 1 s, so a thousand is a quarter of an hour of sending: more is a
// typing error, not a plan.
constexpr long long max_count = 1000;

std::string upper(std::string text) { return ascii_upper(std::move(text)); }

// The unit of a unit id spelt exactly as the table spells it ("E1", not "E01"); 0 for any other.
int unit_number(const std::string& id) {
    if (id.size() < 2 || !find_switch_code((id + "ON").c_str())) return 0;
    return std::stoi(id.substr(1));
}

frame_order unit_order(char house, int unit, bool on) {
    return unit_frame(house + std::to_string(unit), on);
}

// Appends the frames of one list item, a work each: "E1" or a range of one house's units, "E3-5".
std::string expand_item(const std::string& item, bool on, std::vector<work>& out) {
    if (item.empty()) return "empty switch name";
    const std::string id = upper(item);
    const std::string not_found = "can't find switch [" + shown(id) + "]";
    if (id.size() == 1 && unit_number(id + "1")) {
        return not_found + " (for the whole house: bright " + id + " or dim " + id + ")";
    }
    const std::size_t dash = id.find('-');
    const int first = unit_number(id.substr(0, dash));
    if (!first) return not_found;
    int last = first;
    if (dash != std::string::npos) {
        last = unit_number(id.substr(0, 1) + id.substr(dash + 1));
        if (!last) return not_found;
        if (last < first) return "reversed range [" + shown(id) + "]";
    }
    for (int unit = first; unit <= last; ++unit) out.push_back({unit_order(id[0], unit, on)});
    return {};
}

std::string parse_switches(const std::vector<std::string>& words, std::vector<work>& out) {
    if (words.size() < 2) {
        return words.empty() ? "missing SWITCH and on|off (see vantrel --help)"
                             : "missing on or off after [" + shown(upper(words[0])) + "]";
    }
    if (words.size() > 2) return "unexpected argument [" + shown(words[2]) + "]";
    const std::string state = upper(words[1]);
    if (state != "ON" && state != "OFF") {
        return "expected on or off, not [" + shown(words[1]) + "]";
    }
    const std::string& list = words[0];
    for (std::size_t start = 0;;) {
        const std::size_t comma = list.find(',', start);
        const std::string error =
            expand_item(list.substr(start, comma - start), state == "ON", out);
        if (!error.empty()) return error;
        if (comma == std::string::npos) return {};
        start = comma + 1;
    }
}

// "bright E [COUNT]", "dim E [COUNT]": the house rows, whose second byte the CM17A reads as
// BRIGHT (the ON row) or DIM (the OFF row) for the house's last addressed lamp module.
std::string parse_house_command(const std::vector<std::string>& words, std::vector<work>& out) {
    const bool bright = upper(words[0]) == "BRIGHT";
    if (words.size() < 2) return std::string("missing HOUSE after ") + (bright ? "bright" : "dim");
    if (words.size() > 3) return "unexpected argument [" + shown(words[3]) + "]";
    const std::string house = upper(words[1]);
    const char* code =
        house.size() == 1 ? find_switch_code((house + (bright ? "ON" : "OFF")).c_str()) : nullptr;
    if (!code) return "can't find house [" + shown(house) + "]";
    long long count = 1;
    if (words.size() == 3 && (!parse_number(words[2], max_count, count) || count == 0)) {
        return "COUNT takes a number from 1 to " + std::to_string(max_count) + ", not [" +
               shown(words[2]) + "]";
    }
    out.emplace_back(static_cast<std::size_t>(count), house_frame(house[0], bright));
    return {};
}

}  // namespace

frame_order unit_frame(const std::string& id, bool on) {
    return {id, on, find_switch_code((id + (on ? "ON" : "OFF")).c_str()),
            id + (on ? " ON" : " OFF")};
}

frame_order house_frame(char house, bool bright) {
    const std::string id(1, house);
    return {id, bright, find_switch_code((id + (bright ? "ON" : "OFF")).c_str()),
            id + (bright ? " BRIGHT" : " DIM")};
}

bool parse_number(const std::string& text, long long max, long long& value) {
    // Ten digits hold every 32-bit value without overflowing a long long.
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::stoll(text);
    return value <= max;
}

std::string shown(const std::string& text) {
    constexpr std::size_t max_shown = 16;
    std::string out;
    std::size_t characters = 0;
    for (char byte : text) {
        const auto c = static_cast<unsigned char>(byte);
        if ((c & 0xC0) == 0x80) continue;  // the rest of a UTF-8 character already shown
        if (++characters > max_shown) return out + "...";
        out += c >= 0x20 && c < 0x7F ? byte : '?';
    }
    return out;
}

std::string parse_command_line(const std::vector<std::string>& args,
                               const std::string& default_port, command& out) {
    out = command();
    out.options.port = default_port;
    long long repeat = 1;
    std::vector<std::string> words;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            words.insert(words.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            words.push_back(arg);
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        if (equals == std::string::npos) {
            if (name == "--help" || name == "--version") {
                out.what = name == "--help" ? request::help : request::version;
                return {};
            }
            if (name == "--dry-run") {
                out.options.dry_run = true;
                continue;
            }
            if (name == "--verbose") {
                out.options.verbose = true;
                continue;
            }
        }
        std::int32_t* timing = name == "--clock-rate" ? &out.options.timings.clock_rate
                               : name == "--reset"    ? &out.options.timings.reset_duration
                               : name == "--standby"  ? &out.options.timings.standby_duration
                               : name == "--gap"      ? &out.options.frame_gap_ms
                                                      : nullptr;
        if (!timing && name != "--port" && name != "--repeat") {
            return "unknown option [" + shown(arg) + "] (see vantrel --help)";
        }
        if (equals == std::string::npos && i + 1 == args.size()) return name + " needs a value";
        const std::string value = equals == std::string::npos ? args[++i] : arg.substr(equals + 1);
        long long number = 0;
        if (name == "--port") {
            if (value.empty()) return "--port needs a value";
            out.options.port = value;
        } else if (name == "--repeat") {
            if (!parse_number(value, max_count, repeat) || repeat == 0) {
                return "--repeat takes a number from 1 to " + std::to_string(max_count) +
                       ", not [" + shown(value) + "]";
            }
        } else if (parse_number(value, INT32_MAX, number)) {
            *timing = static_cast<std::int32_t>(number);
        } else {
            return name + " takes milliseconds from 0 to " + std::to_string(INT32_MAX) + ", not [" +
                   shown(value) + "]";
        }
    }

    std::vector<work> once;
    const std::string verb = words.empty() ? std::string() : upper(words[0]);
    const std::string error = verb == "BRIGHT" || verb == "DIM" ? parse_house_command(words, once)
                                                                : parse_switches(words, once);
    if (!error.empty()) return error;
    // The whole command again rather than each frame in a row: a scene's lamps all switch in
    // the first round, and a second round is the retry.
    for (long long i = 0; i < repeat; ++i) {
        out.works.insert(out.works.end(), once.begin(), once.end());
    }
    return {};
}

std::string usage(const std::string& default_port) {
    constexpr frame_timings defaults;
    return "usage: vantrel [options] SWITCH on|off\n"
           "       vantrel [options] bright|dim HOUSE [COUNT]\n"
           "Sends X10 commands through a CM17A transmitter on a serial port.\n"
           "  SWITCH      a house A-P and a unit 1-16 (E1, p16), or a list of them with ranges\n"
           "              of one house's units (E1,E3-5): one frame per unit, in order\n"
           "  bright, dim the house's BRIGHT or DIM command for its last addressed lamp,\n"
           "              COUNT times (default 1)\n"
           "options:\n"
           "  --port DEVICE    serial port (default: $VANTREL_PORT, else " +
           default_port +
           ")\n"
           "  --clock-rate MS  wait after each half of every symbol (default " +
           std::to_string(defaults.clock_rate) +
           ")\n"
           "  --reset MS       wait after the reset (default " +
           std::to_string(defaults.reset_duration) +
           ")\n"
           "  --standby MS     wait after the last symbol (default " +
           std::to_string(defaults.standby_duration) +
           ")\n"
           "  --gap MS         from one frame's last symbol to the next frame's start (default " +
           std::to_string(default_frame_gap_ms) +
           ")\n"
           "  --repeat N       send the whole command N times (default 1)\n"
           "  --dry-run        print the frames; open no port\n"
           "  --verbose        print each frame's symbols and its wall time\n"
           "  --help, --version\n"
           "exit status: 0 sent; 1 the port failed; 2 bad input, nothing sent;\n"
           "128+N stopped by signal N (130: Ctrl-C), with the lines left idle\n";
}

std::string describe(const frame_order& frame) {
    char line[96];
    std::snprintf(line, sizeof line, "%-9s \"%s\" %s %s", frame.label.c_str(), frame_header,
                  frame.code, frame_footer);
    return line;
}

}  // namespace vantrel::cli
