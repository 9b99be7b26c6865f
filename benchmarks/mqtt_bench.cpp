// vantrel mqtt against a local mosquitto on the virtual CM17A (run inside "cm17a run --link"):
// the latency from a client's publish to the frame's first line write, commands per second,
// the same commands as one vantrel process each, and the bridge's resident memory; then, at the
// bridge's default timings and at the slow ones of the command line, the latency from a publish
// to the frame's last symbol and to the state message, and the time a scene of six lamps takes.
#include "mqtt_support.h"
#include "stopwatch.h"
#include "trace_support.h"

#include <signal.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

long long monotonic_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// Waits for n more port sessions, each ended by its close.
std::vector<cm17a::session> closed(const test::trace_mark& mark, std::size_t n) {
    std::vector<cm17a::session> s;
    test::eventually(
        [&] {
            s = mark.sessions();
            return s.size() >= n && s[n - 1].closed;
        },
        120s);
    return s;
}

long rss_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = -1;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            break;
        }
        status.ignore(1 << 12, '\n');
    }
    return value;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: mqtt_bench VANTREL PORT\n");
        return 2;
    }
    const std::string vantrel = argv[1], port = argv[2];
    char name[] = "/tmp/vantrel-mqtt-bench-XXXXXX";
    if (!mkdtemp(name)) return 1;
    const std::string dir = name;
    int status = 0;
    {
        test::broker broker(dir);
        test::client client(broker.port());
        client.subscribe("vantrel/bench/availability");
        const auto start_bridge = [&](const std::string& timings) {
            std::ofstream(dir + "/mqtt.yaml")
                << "mqtt: { server: mqtt://127.0.0.1:" << broker.port() << " }\n"
                << "serial: { port: " << port << timings << " }\n"
                << "node_id: bench\nunits: { A1: {}, A2: {}, A3: {}, A4: {}, A5: {}, A6: {}, "
                   "E3: { type: switch } }\n";
            const std::size_t before = client.on("vantrel/bench/availability").size();
            auto p = std::make_unique<test::child>(
                std::vector<std::string>{vantrel, "mqtt", "--config", dir + "/mqtt.yaml"},
                dir + "/bridge", test::env_list{{"VANTREL_LOCK_DIR", dir}});
            test::eventually([&] {
                const auto seen = client.on("vantrel/bench/availability");
                return seen.size() > before && seen.back().payload == "online";
            });
            return p;
        };
        const std::string no_waits =
            ", clock_rate: 0, reset_duration: 0, standby_duration: 0, frame_gap: 0";

        // Latency: one command at a time, each frame and its gap over before the next publish.
        const auto latency = [&](const char* label, int count, std::chrono::milliseconds gap) {
            std::vector<double> ms;
            for (int i = 0; i < count; ++i) {
                std::this_thread::sleep_for(gap);
                test::trace_mark mark;
                const long long published = monotonic_ns();
                client.publish("vantrel/bench/A1/set", i % 2 ? "OFF" : "ON");
                const auto s = closed(mark, 1);
                ms.push_back(static_cast<double>(s[0].writes.front().t_ns - published) / 1e6);
            }
            std::printf("%-34s median %.3f ms, p99 %.3f ms, max %.3f ms (%d commands)\n", label,
                        percentile(ms, 0.5), percentile(ms, 0.99), percentile(ms, 1.0), count);
        };

        auto bridge = start_bridge(no_waits);
        const pid_t pid = bridge->pid();
        std::printf("bridge resident memory when idle: %ld KiB\n", rss_kib(pid));
        latency("publish to first line write, no waits:", 200, 0ms);

        // Throughput: a burst of commands published at once, timed from the first publish to
        // the last frame's close as the trace recorded it. A unit's command and a BRIGHT of its
        // house in turn: the queue replaces a unit's waiting command unless a step of its house
        // comes between, and adds up steps only in a row, so every command is a frame.
        const auto burst = [&](int count) {
            test::trace_mark mark;
            const long long t0 = monotonic_ns();
            for (int i = 0; i < count; ++i) {
                if (i % 2) {
                    client.publish("vantrel/bench/A/bright/set", "PRESS");
                } else {
                    client.publish("vantrel/bench/A1/set", i % 4 ? "OFF" : "ON");
                }
            }
            const auto s = closed(mark, static_cast<std::size_t>(count));
            if (s.size() != static_cast<std::size_t>(count)) {
                std::printf("a burst of %d commands gave %zu frames\n", count, s.size());
                status = 1;
                return std::pair(0.0, 0.0);
            }
            const double took = static_cast<double>(s.back().close_t_ns - t0) / 1e6;
            return std::pair(took, static_cast<double>(count) * 1000.0 / took);
        };
        // Bursts of 250 stay within the bridge's queue of 256, so none is dropped.
        const auto [burst_ms, per_second] = burst(250);
        std::printf("250 commands at once, no waits:   %.1f ms, %.0f commands/s end to end\n",
                    burst_ms, per_second);
        for (int round = 0; round < 39; ++round) burst(250);
        std::printf("bridge resident memory after 10,000 more commands: %ld KiB\n", rss_kib(pid));

        // What a hub that shells out pays: one vantrel process per command.
        {
            std::vector<double> ms;
            for (int i = 0; i < 200; ++i) {
                const double t0 = now_ms();
                test::child one({vantrel, "--port", port, "--clock-rate", "0", "--reset", "0",
                                 "--standby", "0", "--gap", "0", "A1", i % 2 ? "off" : "on"},
                                dir + "/one", {{"VANTREL_LOCK_DIR", dir}});
                if (one.finish() != 0) status = 1;
                ms.push_back(now_ms() - t0);
            }
            std::printf(
                "one vantrel process per command:  median %.3f ms, p99 %.3f ms, "
                "%.0f commands/s\n",
                percentile(ms, 0.5), percentile(ms, 0.99), 1000.0 / percentile(ms, 0.5));
        }
        bridge->signal(SIGTERM);
        bridge->finish();

        // A click in Home Assistant: from the publish to the frame's last symbol (the CM17A has
        // the whole command) and to the state message that confirms it, one command at a time
        // after the gap; then a scene, six lamps switched at once, to the last one's state.
        client.subscribe("vantrel/bench/+/state");
        const auto click = [&](const char* timings, const std::string& serial) {
            bridge = start_bridge(serial);
            std::vector<double> to_symbol, to_state;
            for (int i = 0; i < 20; ++i) {
                std::this_thread::sleep_for(1s);
                test::trace_mark mark;
                const std::size_t states = client.on("vantrel/bench/A1/state").size();
                const long long published = monotonic_ns();
                client.publish("vantrel/bench/A1/set", i % 2 ? "OFF" : "ON");
                const auto s = closed(mark, 1);
                test::eventually([&] { return client.on("vantrel/bench/A1/state").size() > states; });
                const auto got = client.on("vantrel/bench/A1/state");
                if (got.size() <= states || s.empty()) {
                    status = 1;
                    continue;
                }
                to_symbol.push_back(static_cast<double>(s[0].writes.back().t_ns - published) / 1e6);
                to_state.push_back(static_cast<double>(got.back().t_ns - published) / 1e6);
            }
            if (to_symbol.empty()) return;
            std::printf("%s: publish to last symbol median %.1f ms, p99 %.1f ms; "
                        "to state median %.1f ms, p99 %.1f ms (20 commands)\n",
                        timings, percentile(to_symbol, 0.5), percentile(to_symbol, 0.99),
                        percentile(to_state, 0.5), percentile(to_state, 0.99));
            std::this_thread::sleep_for(1s);
            std::size_t before = client.on("vantrel/bench/A6/state").size();
            const long long t0 = monotonic_ns();
            for (int unit = 1; unit <= 6; ++unit)
                client.publish("vantrel/bench/A" + std::to_string(unit) + "/set", "ON");
            test::eventually([&] { return client.on("vantrel/bench/A6/state").size() > before; },
                             60s);
            const auto last = client.on("vantrel/bench/A6/state");
            if (last.size() > before) {
                std::printf("%s: a scene of six lamps published at once, last state after %.0f ms\n",
                            timings, static_cast<double>(last.back().t_ns - t0) / 1e6);
            } else {
                status = 1;
            }
            bridge->signal(SIGTERM);
            bridge->finish();
        };
        click("bridge defaults (clock 1, reset 10, standby 0, gap 850 ms)", "");
        click("slow timings (clock 10, reset 10, standby 200, gap 850 ms)",
              ", clock_rate: 10, reset_duration: 10, standby_duration: 200");
    }
    std::filesystem::remove_all(dir);
    return status;
}
