#include "run.h"

#include "version.h"

#include <algorithm>

namespace vantrel::cli {

int run(const std::vector<std::string>& args, const char* env_port,
        const std::string& platform_port, sender& out_port, std::FILE* out, std::FILE* err) {
    command c;
    const std::string error =
        parse_command_line(args, env_port && *env_port ? env_port : platform_port, c);
    if (!error.empty()) {
        std::fprintf(err, "vantrel: %s\n", error.c_str());
        return exit_bad_input;
    }
    if (c.what == request::help) {
        std::fputs(usage(platform_port).c_str(), out);
        return exit_sent;
    }
    if (c.what == request::version) {
        std::fprintf(out, "vantrel %s\n", VANTREL_VERSION_STRING);
        return exit_sent;
    }
    const settings& o = c.options;
    const frame_timings& t = o.timings;
    if (o.dry_run) {
        std::size_t frames = 0;
        for (const work& w : c.works) frames += w.size();
        std::fprintf(out,
                     "dry run: %zu frames for %s (clock %d, reset %d, standby %d ms); "
                     "nothing is sent\n",
                     frames, o.port.c_str(), t.clock_rate, t.reset_duration, t.standby_duration);
        for (const work& w : c.works) {
            for (const frame_order& f : w) std::fprintf(out, "%s\n", describe(f).c_str());
        }
        return exit_sent;
    }
    const frame_sent each = [&](const frame_order& f, double frame_ms) {
        if (!o.verbose) return;
        std::fprintf(out, "%s\n          %.3f ms from the reset to the close (waits asked: %lld ms)\n",
                     describe(f).c_str(), frame_ms, asked_ms(t));
        std::fflush(out);
    };
    for (const work& w : c.works) {
        const send_result sent = out_port.send(w, o, each);
        if (sent.status != exit_sent) {
            std::fprintf(err, "vantrel: %s: %s\n", failed_frame(w, sent).c_str(),
                         sent.message.c_str());
            return sent.status;
        }
    }
    return exit_sent;
}

std::string failed_frame(const work& w, const send_result& result) {
    if (w.empty()) return "";
    const std::size_t at = std::min(result.sent, w.size() - 1);
    if (w.size() == 1) return w[at].label;
    return w[at].label + " (frame " + std::to_string(at + 1) + " of " + std::to_string(w.size()) + ")";
}

}  // namespace vantrel::cli
