// vantrel mqtt end to end: the bridge on the virtual CM17A (this program runs inside
// "cm17a run --link PORT"), against mosquitto brokers of the tests' own.
#include "mqtt_support.h"
#include "trace_support.h"
#include "version.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::client;

const std::string port = VANTREL_TEST_PORT;

std::vector<std::string> meanings(const std::vector<cm17a::session>& sessions) {
    std::vector<std::string> out;
    for (const cm17a::session& s : sessions)
        out.push_back(s.complete ? s.meaning : "(broken frame)");
    return out;
}

// Waits until n sessions after mark have ended with the port's close, and returns them.
std::vector<cm17a::session> closed_sessions(const test::trace_mark& mark, std::size_t n) {
    std::vector<cm17a::session> sessions;
    test::eventually([&] {
        sessions = mark.sessions();
        return std::count_if(sessions.begin(), sessions.end(), [](const cm17a::session& s) {
                   return s.closed;
               }) >= static_cast<long>(n);
    });
    return sessions;
}

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// Units A1 (a light), E3 (a switch) and E5 (a light) on the virtual CM17A with no waits.
const std::string units =
    "units:\n"
    "  A1: { name: Hall lamp }\n"
    "  E3: { name: Coffee maker, type: switch }\n"
    "  E5: { name: Desk lamp, type: light }\n";

class Bridge : public testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/vantrel-bridge-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(name));
        dir_ = name;
        broker_ = std::make_unique<test::broker>(dir_, broker_extra());
    }
    void TearDown() override {
        test::fail_write_number(0);
        bridge_.reset();
        broker_.reset();
        std::filesystem::remove_all(dir_);
    }
    virtual std::string broker_extra() { return ""; }

    // The configuration: the broker's server line, the virtual CM17A with no waits and no gap
    // unless serial says otherwise, node "house" and the units above.
    std::string config(std::map<std::string, std::string> serial = {},
                       const std::string& mqtt = "") const {
        serial.insert({{"clock_rate", "0"},
                       {"reset_duration", "0"},
                       {"standby_duration", "0"},
                       {"frame_gap", "0"}});
        std::string yaml = "mqtt:\n  server: mqtt://127.0.0.1:" + std::to_string(broker_->port()) +
                           "\n  keepalive: 5\n" + mqtt + "serial:\n  port: " + port + "\n";
        for (const auto& [key, value] : serial) yaml += "  " + key + ": " + value + "\n";
        return yaml + "node_id: house\n" + units;
    }

    // Starts the bridge and returns once it has published "online".
    void start(const std::string& yaml, const std::vector<std::string>& options = {},
               const test::env_list& env = {}) {
        client watch(broker_->port());
        watch.subscribe("vantrel/house/availability");
        const std::size_t before = watch.on("vantrel/house/availability").size();
        start_only(yaml, options, env);
        ASSERT_TRUE(test::eventually([&] {
            const auto seen = watch.on("vantrel/house/availability");
            return seen.size() > before && seen.back().payload == "online";
        })) << bridge_->err();
    }
    void start_only(const std::string& yaml, std::vector<std::string> options = {},
                    test::env_list env = {}) {
        const std::string path = dir_ + "/mqtt.yaml";
        std::ofstream(path) << yaml;
        options.insert(options.begin(), {VANTREL_PATH, "mqtt", "--config", path});
        env.push_back({"VANTREL_LOCK_DIR", dir_});
        bridge_ =
            std::make_unique<test::child>(options, dir_ + "/bridge" + std::to_string(++runs_), env);
    }

    // Publishes each command, then waits for n whole frames after mark.
    std::vector<std::string> send(const std::vector<std::pair<std::string, std::string>>& commands,
                                  std::size_t n) {
        test::trace_mark mark;
        client c(broker_->port());
        for (const auto& [topic, payload] : commands) c.publish("vantrel/house/" + topic, payload);
        return meanings(closed_sessions(mark, n));
    }

    std::string dir_;
    std::unique_ptr<test::broker> broker_;
    std::unique_ptr<test::child> bridge_;
    int runs_ = 0;
};

TEST_F(Bridge, DiscoveryOfEveryUnitAndButtonRemovedUnitsCleared) {
    {
        client before(broker_->port());
        before.publish("homeassistant/light/house/b2/config", R"({"unique_id":"vantrel_house_b2"})",
                       true);
        before.publish("homeassistant/light/kitchen/b2/config",
                       R"({"unique_id":"vantrel_kitchen_b2"})", true);
    }
    client watch(broker_->port());
    watch.subscribe("homeassistant/#");
    start(config());
    ASSERT_TRUE(watch.wait_for("homeassistant/light/house/b2/config", ""))
        << "the config of a unit no longer configured is cleared";

    client later(broker_->port());
    later.subscribe("homeassistant/#");
    const std::string availability =
        R"([{"topic":"vantrel/house/availability","payload_available":"online","payload_not_available":"offline"}])";
    const std::string device =
        std::string(
            R"({"identifiers":["vantrel_house"],"name":"vantrel house","model":"CM17A","sw_version":")") +
        VANTREL_VERSION_STRING + "\"}";
    const struct {
        std::string topic, expected;
    } configs[] = {
        {"homeassistant/light/house/a1/config",
         R"({"unique_id":"vantrel_house_a1","name":"Hall lamp","command_topic":"vantrel/house/A1/set",
             "state_topic":"vantrel/house/A1/state","payload_on":"ON","payload_off":"OFF","qos":1})"},
        {"homeassistant/switch/house/e3/config",
         R"({"unique_id":"vantrel_house_e3","name":"Coffee maker","command_topic":"vantrel/house/E3/set",
             "state_topic":"vantrel/house/E3/state","payload_on":"ON","payload_off":"OFF","qos":1})"},
        {"homeassistant/light/house/e5/config",
         R"({"unique_id":"vantrel_house_e5","name":"Desk lamp","command_topic":"vantrel/house/E5/set",
             "state_topic":"vantrel/house/E5/state","payload_on":"ON","payload_off":"OFF","qos":1})"},
        {"homeassistant/button/house/a_bright/config",
         R"({"unique_id":"vantrel_house_a_bright","name":"A bright","command_topic":"vantrel/house/A/bright/set",
             "payload_press":"PRESS","qos":1})"},
        {"homeassistant/button/house/a_dim/config",
         R"({"unique_id":"vantrel_house_a_dim","name":"A dim","command_topic":"vantrel/house/A/dim/set",
             "payload_press":"PRESS","qos":1})"},
        {"homeassistant/button/house/e_bright/config",
         R"({"unique_id":"vantrel_house_e_bright","name":"E bright","command_topic":"vantrel/house/E/bright/set",
             "payload_press":"PRESS","qos":1})"},
        {"homeassistant/button/house/e_dim/config",
         R"({"unique_id":"vantrel_house_e_dim","name":"E dim","command_topic":"vantrel/house/E/dim/set",
             "payload_press":"PRESS","qos":1})"},
    };
    ASSERT_TRUE(
        test::eventually([&] { return later.messages().size() >= std::size(configs) + 1; }));
    for (const auto& c : configs) {
        const auto got = later.on(c.topic);
        ASSERT_EQ(1u, got.size()) << c.topic;
        EXPECT_TRUE(got[0].retain) << c.topic;
        json expected = json::parse(c.expected);
        expected["availability"] = json::parse(availability);
        expected["device"] = json::parse(device);
        EXPECT_EQ(expected, json::parse(got[0].payload)) << c.topic;
    }
    EXPECT_TRUE(later.on("homeassistant/light/house/b2/config").empty()) << "cleared for good";
    ASSERT_EQ(1u, later.on("homeassistant/light/kitchen/b2/config").size())
        << "another node's config is not this bridge's to clear";
    EXPECT_EQ(1u + std::size(configs), later.messages().size()) << "no other config";

    // Home Assistant restarted: it asks for discovery again by publishing its birth message.
    later.publish("homeassistant/status", "online");
    EXPECT_TRUE(test::eventually([&] {
        return later.on("homeassistant/light/house/a1/config").size() == 2 &&
               later.on("homeassistant/button/house/e_dim/config").size() == 2;
    }));
}

TEST_F(Bridge, CommandsBecomeFramesThenRetainedStates) {
    start(config());
    client watch(broker_->port());
    watch.subscribe("vantrel/house/A1/state");
    EXPECT_EQ((std::vector<std::string>{"A1 ON", "E3 OFF", "E5 ON", "A BRIGHT", "E DIM", "E DIM",
                                        "E DIM", "A1 OFF"}),
              send({{"A1/set", "ON"},
                    {"E3/set", "off"},
                    {"E5/set", " On\n"},
                    {"A/bright/set", "PRESS"},
                    {"E/dim/set", "3"},
                    {"A1/set", "OFF"}},
                   8));
    ASSERT_TRUE(watch.wait_for("vantrel/house/A1/state", "OFF"));
    client later(broker_->port());
    later.subscribe("vantrel/house/+/state");
    ASSERT_TRUE(test::eventually([&] { return later.messages().size() == 3; }));
    for (const auto& [topic, state] :
         {std::pair("vantrel/house/A1/state", "OFF"), std::pair("vantrel/house/E3/state", "OFF"),
          std::pair("vantrel/house/E5/state", "ON")}) {
        const auto got = later.on(topic);
        ASSERT_EQ(1u, got.size()) << topic;
        EXPECT_EQ(state, got[0].payload) << topic;
        EXPECT_TRUE(got[0].retain) << topic;
    }
}

TEST_F(Bridge, HundredCommandsArriveInPublicationOrder) {
    start(config());
    std::vector<std::pair<std::string, std::string>> commands;
    std::vector<std::string> expected;
    for (int i = 0; i < 100; ++i) {
        const std::string unit = i % 3 == 0 ? "A1" : i % 3 == 1 ? "E3" : "E5";
        const std::string state = (i / 3) % 2 ? "OFF" : "ON";
        commands.push_back({unit + "/set", state});
        expected.push_back(unit + " " + state);
    }
    EXPECT_EQ(expected, send(commands, 100));
}

TEST_F(Bridge, ACommandThatFindsTheQueueFullIsDroppedAndCounted) {
    // A frame of more than a minute: the first command stays on the lines while the rest come.
    start(config({{"clock_rate", "1000"}}));
    client c(broker_->port());
    for (int i = 0; i < 300; ++i) c.publish("vantrel/house/A1/set", i % 2 ? "OFF" : "ON");
    // 256 wait and one is on the lines, or not yet taken from the queue when the last came.
    ASSERT_TRUE(test::eventually([&] { return count_of(bridge_->err(), " dropped: ") >= 43; }));
    const std::string log = bridge_->err();
    const std::size_t dropped = count_of(log, " dropped: ");
    EXPECT_LE(dropped, 44u);
    EXPECT_NE(std::string::npos, log.find("(" + std::to_string(dropped) + " dropped so far)"))
        << log;
}

TEST_F(Bridge, BadMessagesSendNothingAndTheBridgeGoesOn) {
    start(config(), {"--verbose"});
    const std::pair<std::string, std::string> bad[] = {
        {"A1/set", ""},
        {"A1/set", "maybe"},
        {"A1/set", "ON OFF"},
        {"A1/set", "\x01\x02"},
        {"A1/set", std::string(65, 'O')},
        {"A1/set", "O\nN"},
        {"B2/set", "ON"},
        {"a1/set", "ON"},
        {"A/bright/set", "0"},
        {"A/bright/set", "33"},
        {"A/dim/set", "-1"},
        {"A/dim/set", "1.5"},
        {"A/dim/set", "PRESSED"},
        {"B/bright/set", "PRESS"},
        {"A1/bright/set", "PRESS"},
    };
    std::vector<std::pair<std::string, std::string>> commands(std::begin(bad), std::end(bad));
    commands.push_back({"E3/set", "ON"});
    EXPECT_EQ(std::vector<std::string>{"E3 ON"}, send(commands, 1));
    EXPECT_EQ(std::size(bad), count_of(bridge_->err(), "; nothing sent")) << bridge_->err();
    EXPECT_NE(std::string::npos, bridge_->err().find("<- vantrel/house/A1/set O?N\n"))
        << "a payload is logged on one line";
}

TEST_F(Bridge, NextFrameWaitsForTheGapWithThePortLockHeld) {
    constexpr long long gap_ms = 300;
    start(config({{"frame_gap", std::to_string(gap_ms)}}));
    test::trace_mark mark;
    client c(broker_->port());
    c.publish("vantrel/house/A1/set", "ON");
    c.publish("vantrel/house/E3/set", "ON");
    // Another sender, a cron job say, started as soon as the bridge's first frame is over.
    ASSERT_EQ(1u, closed_sessions(mark, 1).size());
    test::child cron({VANTREL_PATH, "--port", port, "--clock-rate", "0", "--reset", "0",
                      "--standby", "0", "--gap", std::to_string(gap_ms), "E7,E8", "on"},
                     dir_ + "/cron", {{"VANTREL_LOCK_DIR", dir_}});
    EXPECT_EQ(0, cron.finish()) << cron.err();
    const auto sessions = closed_sessions(mark, 4);
    ASSERT_EQ(4u, sessions.size()) << testing::PrintToString(meanings(sessions));
    EXPECT_EQ("A1 ON", sessions[0].meaning);
    for (std::size_t i = 1; i < sessions.size(); ++i) {
        const cm17a::session& before = sessions[i - 1];
        const cm17a::session& next = sessions[i];
        const long long gap_ns = next.writes[next.frame_start].t_ns - before.writes.back().t_ns;
        EXPECT_GE(gap_ns, gap_ms * 1000000) << before.meaning << " then " << next.meaning;
    }
}

TEST_F(Bridge, WaitsForABrokerNotUpYetAndReconnectsAfterItRestarts) {
    broker_->stop();
    start_only(config());
    ASSERT_TRUE(test::eventually([&] {
        return bridge_->err().find("can't connect") != std::string::npos;
    })) << bridge_->err();
    broker_->start();
    {
        client watch(broker_->port());
        watch.subscribe("vantrel/house/availability");
        ASSERT_TRUE(watch.wait_for("vantrel/house/availability", "online")) << bridge_->err();
    }
    broker_->stop();
    broker_->start();
    {
        client watch(broker_->port());
        watch.subscribe("vantrel/house/availability");
        ASSERT_TRUE(watch.wait_for("vantrel/house/availability", "online")) << bridge_->err();
    }
    EXPECT_EQ(std::vector<std::string>{"E5 OFF"}, send({{"E5/set", "OFF"}}, 1));

    // A broker that comes back refusing the login, once the bridge has served: more likely a
    // broker whose logins are not loaded yet than a wrong password, so the bridge keeps trying.
    std::system(("mosquitto_passwd -b -c '" + dir_ + "/passwords' hub pw").c_str());
    broker_->start("password_file " + dir_ + "/passwords\n");
    ASSERT_TRUE(test::eventually([&] {
        return bridge_->err().find("refused the connection") != std::string::npos;
    })) << bridge_->err();
    EXPECT_EQ(-1, bridge_->finish(std::chrono::seconds(2))) << "it gave up";
    broker_->start();
    client watch(broker_->port());
    watch.subscribe("vantrel/house/availability");
    EXPECT_TRUE(watch.wait_for("vantrel/house/availability", "online")) << bridge_->err();
}

TEST_F(Bridge, CommandsPublishedWhileCutOffArriveAfterReconnecting) {
    test::tcp_proxy proxy(broker_->port());
    std::string yaml = config();
    yaml.replace(yaml.find(std::to_string(broker_->port())), std::to_string(broker_->port()).size(),
                 std::to_string(proxy.port()));
    start(yaml);
    proxy.cut();
    ASSERT_TRUE(test::eventually([&] { return bridge_->err().find("lost") != std::string::npos; }));
    test::trace_mark mark;
    {
        client c(broker_->port());
        c.publish("vantrel/house/A1/set", "ON");
        c.publish("vantrel/house/E3/set", "OFF");
    }
    proxy.restore();
    EXPECT_EQ((std::vector<std::string>{"A1 ON", "E3 OFF"}), meanings(closed_sessions(mark, 2)))
        << bridge_->err();
}

TEST_F(Bridge, StopSignalCutsTheFrameAndKillLeavesTheWillAndTheSession) {
    start(config({{"clock_rate", "20"}}));
    client watch(broker_->port());
    watch.subscribe("vantrel/house/availability");
    test::trace_mark mark;
    watch.publish("vantrel/house/A1/set", "ON");
    watch.publish("vantrel/house/E3/set", "ON");
    watch.publish("vantrel/house/E5/set", "ON");
    ASSERT_TRUE(test::eventually([&] { return mark.events().size() >= 10; }));
    bridge_->signal(SIGTERM);
    EXPECT_EQ(0, bridge_->finish()) << bridge_->err();
    for (const char* queued :
         {"E3 ON not sent: the bridge is stopping", "E5 ON not sent: the bridge is stopping"}) {
        EXPECT_NE(std::string::npos, bridge_->err().find(queued)) << bridge_->err();
    }
    const auto events = mark.events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ("CLOSE", events.back().kind);
    EXPECT_TRUE(events.back().dtr && events.back().rts) << "both lines idle at the close";
    const auto sessions = mark.sessions();
    ASSERT_EQ(1u, sessions.size());
    EXPECT_FALSE(sessions[0].complete);
    EXPECT_TRUE(watch.wait_for("vantrel/house/availability", "offline"));
    EXPECT_TRUE(watch.on("vantrel/house/A1/state").empty());

    // Stopped on purpose, the bridge keeps no session: a command sent meanwhile does not wait
    // for the next start. After a crash, the session and its commands are kept.
    watch.publish("vantrel/house/E3/set", "ON");
    test::trace_mark mark_after_stop;
    start(config());
    watch.publish("vantrel/house/E5/set", "ON");
    EXPECT_EQ(std::vector<std::string>{"E5 ON"}, meanings(closed_sessions(mark_after_stop, 1)));
    bridge_->signal(SIGKILL);
    EXPECT_TRUE(watch.wait_for("vantrel/house/availability", "offline", 2)) << "the will";
    watch.publish("vantrel/house/E3/set", "OFF");
    test::trace_mark mark_after_crash;
    start(config());
    EXPECT_EQ(std::vector<std::string>{"E3 OFF"}, meanings(closed_sessions(mark_after_crash, 1)));
}

TEST_F(Bridge, FailedPortGoesOfflineRefusesThenComesBack) {
    start(config());
    client watch(broker_->port());
    watch.subscribe("vantrel/house/#");
    ASSERT_EQ(std::vector<std::string>{"A1 ON"}, send({{"A1/set", "ON"}}, 1));
    ASSERT_TRUE(watch.wait_for("vantrel/house/A1/state", "ON"));

    test::fail_write_number(test::read_trace().back().seq + 20);
    test::trace_mark mark;
    watch.publish("vantrel/house/A1/set", "OFF");
    ASSERT_TRUE(watch.wait_for("vantrel/house/availability", "offline")) << bridge_->err();
    watch.publish("vantrel/house/E3/set", "ON");
    ASSERT_TRUE(test::eventually([&] {
        return bridge_->err().find("E3 ON refused") != std::string::npos;
    })) << bridge_->err();
    EXPECT_EQ(1u, mark.sessions().size()) << "the failed frame only";
    EXPECT_EQ(1u, watch.on("vantrel/house/A1/state").size()) << "a failed frame changes no state";

    ASSERT_TRUE(watch.wait_for("vantrel/house/availability", "online", 2)) << bridge_->err();
    EXPECT_EQ(std::vector<std::string>{"E3 ON"}, send({{"E3/set", "ON"}}, 1));
}

// The port named by a link the test makes and takes away: missing at start, plugged in later,
// unplugged while idle.
TEST_F(Bridge, AvailabilityFollowsThePortEvenWhileIdle) {
    const std::string adapter = dir_ + "/ttyUSB-later";
    std::string yaml = config();
    yaml.replace(yaml.find("port: " + port), 6 + port.size(), "port: " + adapter);
    client watch(broker_->port());
    watch.subscribe("vantrel/house/availability");
    start_only(yaml);
    ASSERT_TRUE(watch.wait_for("vantrel/house/availability", "offline")) << bridge_->err();
    EXPECT_TRUE(watch.on("vantrel/house/availability").size() == 1) << "never online without it";

    ASSERT_EQ(0, symlink(port.c_str(), adapter.c_str()));
    ASSERT_TRUE(watch.wait_for("vantrel/house/availability", "online")) << bridge_->err();
    EXPECT_EQ(std::vector<std::string>{"A1 ON"}, send({{"A1/set", "ON"}}, 1));

    ASSERT_EQ(0, unlink(adapter.c_str()));
    EXPECT_TRUE(watch.wait_for("vantrel/house/availability", "offline", 2)) << bridge_->err();
}

// Another sender holding the port past the lock's bound fails one command, not the port.
TEST_F(Bridge, ABusyPortFailsTheCommandAndStaysOnline) {
    struct stat device {};
    ASSERT_EQ(0, stat(port.c_str(), &device));
    const std::string lock = dir_ + "/vantrel-" + std::to_string(device.st_rdev) + ".lock";
    const int holder = open(lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(0, flock(holder, LOCK_EX));
    client watch(broker_->port());
    watch.subscribe("vantrel/house/availability");
    start(config(), {}, {{"VANTREL_LOCK_TIMEOUT_MS", "200"}});
    watch.publish("vantrel/house/A1/set", "ON");
    EXPECT_TRUE(test::eventually([&] {
        return bridge_->err().find("A1 ON failed: " + port + " is busy") != std::string::npos;
    })) << bridge_->err();
    close(holder);
    EXPECT_EQ(std::vector<std::string>{"E3 ON"}, send({{"E3/set", "ON"}}, 1));
    for (const auto& m : watch.on("vantrel/house/availability")) EXPECT_EQ("online", m.payload);
}

TEST_F(Bridge, BadConfigurationExitsTwoAndSendsNothing) {
    test::trace_mark mark;
    std::string yaml = config();
    yaml += "  Q1: { name: Nowhere }\n";
    start_only(yaml);
    EXPECT_EQ(2, bridge_->finish());
    const std::size_t line = static_cast<std::size_t>(std::count(yaml.begin(), yaml.end(), '\n'));
    EXPECT_NE(std::string::npos, bridge_->err().find(dir_ + "/mqtt.yaml:" + std::to_string(line) +
                                                     ": [Q1] is not a unit id"))
        << bridge_->err();
    EXPECT_TRUE(mark.events().empty());
}

// A broker that takes only user "hub" with its password, and a TLS listener with a CA of the
// test's own.
class SecureBridge : public Bridge {
  protected:
    std::string broker_extra() override {
        tls_port_ = test::free_port();
        const std::string script =
            "set -e; cd '" + dir_ +
            "'\n"
            "mosquitto_passwd -b -c passwords hub right-password\n"
            "for ca in ca other; do openssl req -x509 -newkey rsa:2048 -nodes -keyout $ca.key "
            "-out $ca.crt -subj /CN=$ca -days 2 2>/dev/null; done\n"
            "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr "
            "-subj /CN=localhost 2>/dev/null\n"
            "printf 'subjectAltName=IP:127.0.0.1,DNS:localhost' > san\n"
            "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
            "-out server.crt -days 2 -extfile san 2>/dev/null\n"
            "chmod 644 passwords *.crt *.key\n";
        if (std::system(script.c_str()) != 0) ADD_FAILURE() << "can't make the test's keys";
        return "password_file " + dir_ + "/passwords\nlistener " + std::to_string(tls_port_) +
               " 127.0.0.1\ncafile " + dir_ + "/ca.crt\ncertfile " + dir_ +
               "/server.crt\nkeyfile " + dir_ + "/server.key\n";
    }
    std::string login(const std::string& password) {
        std::ofstream(dir_ + "/secret") << password << "\n";
        std::filesystem::permissions(dir_ + "/secret", std::filesystem::perms::owner_read);
        return "  user: hub\n  password_file: " + dir_ + "/secret\n";
    }
    int tls_port_ = 0;
};

TEST_F(SecureBridge, WrongPasswordExitsOneWithTheBrokersReason) {
    start_only(config({}, login("wrong-password")));
    EXPECT_EQ(1, bridge_->finish());
    EXPECT_NE(std::string::npos,
              bridge_->err().find("refused the connection: Connection Refused: not authorised"))
        << bridge_->err();
}

TEST_F(SecureBridge, RightPasswordAndTlsWithTheRightCa) {
    const auto tls = [&](const std::string& ca) {
        std::string yaml = config({}, login("right-password") + "  ca: " + dir_ + "/" + ca + "\n");
        const std::string plain = "mqtt://127.0.0.1:" + std::to_string(broker_->port());
        yaml.replace(yaml.find(plain), plain.size(),
                     "mqtts://localhost:" + std::to_string(tls_port_));
        return yaml;
    };
    client watch(broker_->port(), "hub", "right-password");
    watch.subscribe("vantrel/house/availability");
    std::ofstream(dir_ + "/mqtt.yaml") << tls("other.crt");
    test::child wrong({VANTREL_PATH, "mqtt", "--config", dir_ + "/mqtt.yaml"}, dir_ + "/wrong",
                      {{"VANTREL_LOCK_DIR", dir_}});
    EXPECT_EQ(1, wrong.finish());
    EXPECT_NE(std::string::npos, wrong.err().find("certificate verify failed")) << wrong.err();
    EXPECT_TRUE(watch.on("vantrel/house/availability").empty());

    std::ofstream(dir_ + "/mqtt.yaml") << tls("ca.crt");
    test::child right({VANTREL_PATH, "mqtt", "--config", dir_ + "/mqtt.yaml"}, dir_ + "/right",
                      {{"VANTREL_LOCK_DIR", dir_}});
    EXPECT_TRUE(watch.wait_for("vantrel/house/availability", "online")) << right.err();
}

}  // namespace
