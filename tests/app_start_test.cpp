// The Home Assistant app's start program end to end (this program runs inside
// "cm17a run --link PORT"): its options in a file, a stand-in for the Supervisor's API
// (tests/fake_supervisor.py) that names a mosquitto broker of the test's own, which takes only
// the login that the Supervisor hands out, and the bridge on the virtual CM17A.
#include "mqtt_support.h"
#include "trace_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>

namespace {

using nlohmann::json;

const std::string port = VANTREL_TEST_PORT;
const std::string token = "token-7f3a9c1e5b";
const std::string password = "broker-pw-52d8e0";
// Quotes, a colon, a # and an umlaut: YAML's and JSON's special characters and UTF-8.
const std::string odd_name =
    "Hall \"lamp\": #1 K\xC3\xBC"
    "che";

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

class AppStart : public testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/vantrel-app-test-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(name));
        dir_ = name;
        ASSERT_EQ(0, std::system(("mosquitto_passwd -b -c '" + dir_ + "/passwords' hub " +
                                  password + " && chmod 644 '" + dir_ + "/passwords'")
                                     .c_str()));
        broker_ = std::make_unique<test::broker>(dir_, "password_file " + dir_ + "/passwords\n");
        // The bridge as the start program runs it, given back the virtual CM17A's preload
        // (which a clean environment would drop) and nothing else.
        std::ofstream(dir_ + "/bridge")
            << "#!/bin/sh\nexec env"
            << " LD_PRELOAD='" << getenv("LD_PRELOAD") << "'"
            << " CM17A_PTY='" << getenv("CM17A_PTY") << "'"
            << " CM17A_TRACE='" << getenv("CM17A_TRACE") << "'"
            << " CM17A_CONTROL='" << getenv("CM17A_CONTROL") << "'"
            << " ASAN_OPTIONS=verify_asan_link_order=0 '" << VANTREL_PATH << "' \"$@\"\n";
        chmod((dir_ + "/bridge").c_str(), 0755);
    }
    void TearDown() override {
        start_.reset();
        supervisor_.reset();
        broker_.reset();
        std::filesystem::remove_all(dir_);
    }

    // The Supervisor's MQTT service: this broker with the login it takes.
    json service() const {
        return {{"addon", "core_mosquitto"}, {"host", "127.0.0.1"},
                {"port", broker_->port()},   {"ssl", false},
                {"username", "hub"},         {"password", password},
                {"protocol", "3.1.1"}};
    }
    // The Supervisor's answer: the service, or text that is not JSON.
    void run_supervisor(bool as_json = true) { run_supervisor(as_json ? service() : json()); }
    void run_supervisor(const json& service) {
        const bool as_json = !service.is_null();
        supervisor_.reset();
        std::filesystem::remove(dir_ + "/supervisor.port");
        supervisor_ = std::make_unique<test::child>(
            std::vector<std::string>{"python3", FAKE_SUPERVISOR, dir_ + "/supervisor.port",
                                     dir_ + "/supervisor.log", token,
                                     as_json ? service.dump() : "--not-json"},
            dir_ + "/supervisor");
        ASSERT_TRUE(test::eventually([&] {
            return std::filesystem::exists(dir_ + "/supervisor.port");
        })) << supervisor_->err();
        supervisor_url_ = "http://127.0.0.1:" + read_file(dir_ + "/supervisor.port");
    }

    // Two units, A1 with the odd name, on the virtual CM17A with no waits.
    static json options() {
        return {
            {"serial_port", port},
            {"node_id", "house"},
            {"log_level", "info"},
            {"clock_rate", 0},
            {"reset_duration", 0},
            {"standby_duration", 0},
            {"frame_gap", 0},
            {"units", json::array({{{"id", "A1"}, {"name", odd_name}, {"type", "light"}, {"dim_steps", 10}},
                                   {{"id", "E3"}, {"name", "Coffee maker"}, {"type", "switch"}}})}};
    }

    void start(const std::string& options_text, test::env_list env = {}) {
        std::ofstream(dir_ + "/options.json") << options_text;
        env.insert(env.begin(), {{"VANTREL_APP_OPTIONS", dir_ + "/options.json"},
                                 {"VANTREL_SUPERVISOR_URL", supervisor_url_},
                                 {"SUPERVISOR_TOKEN", token},
                                 {"VANTREL_APP_BRIDGE", dir_ + "/bridge"},
                                 {"VANTREL_LOCK_DIR", dir_},
                                 {"TMPDIR", dir_}});
        start_ = std::make_unique<test::child>(std::vector<std::string>{VANTREL_APP_START},
                                               dir_ + "/start" + std::to_string(++runs_), env);
    }

    std::string log() const { return start_->out() + start_->err(); }
    std::size_t bridge_connections() const { return count_of(broker_->log(), " as vantrel-"); }

    std::string dir_, supervisor_url_;
    std::unique_ptr<test::broker> broker_;
    std::unique_ptr<test::child> supervisor_, start_;
    int runs_ = 0;
};

TEST_F(AppStart, RunsTheBridgeWithTheSupervisorsBrokerAndKeepsTheSecretsOutOfSight) {
    run_supervisor();
    test::client watch(broker_->port(), "hub", password);
    watch.subscribe("homeassistant/#");
    watch.subscribe("vantrel/house/#");
    start(options().dump());
    ASSERT_TRUE(watch.wait_for("vantrel/house/availability", "online")) << log();

    // Discovery with the name as the user wrote it.
    ASSERT_TRUE(test::eventually([&] {
        return !watch.on("homeassistant/light/house/a1/config").empty() &&
               !watch.on("homeassistant/switch/house/e3/config").empty();
    }));
    const json a1 = json::parse(watch.on("homeassistant/light/house/a1/config").back().payload);
    EXPECT_EQ(odd_name, a1.value("name", "")) << a1.dump();
    EXPECT_EQ(10, a1.value("brightness_scale", 0)) << a1.dump();  // its dim_steps

    // A command reaches the CM17A as exactly that unit's frame.
    const test::trace_mark mark;
    watch.publish("vantrel/house/A1/set", "ON");
    std::vector<cm17a::session> sessions;
    ASSERT_TRUE(test::eventually([&] {
        sessions = mark.sessions();
        return !sessions.empty() && sessions.back().closed;
    })) << log();
    ASSERT_EQ(1u, sessions.size());
    EXPECT_TRUE(sessions[0].complete);
    EXPECT_EQ("A1 ON", sessions[0].meaning);

    // The start program became the bridge (one pid): its command line and environment, and
    // the log, hold neither the token nor the broker's password.
    const std::string proc = "/proc/" + std::to_string(start_->pid());
    const std::string cmdline = read_file(proc + "/cmdline"),
                      environ = read_file(proc + "/environ");
    EXPECT_NE(std::string::npos, cmdline.find(VANTREL_PATH)) << cmdline;
    for (const std::string& secret : {token, password}) {
        EXPECT_EQ(std::string::npos, cmdline.find(secret)) << cmdline;
        EXPECT_EQ(std::string::npos, environ.find(secret)) << environ;
        EXPECT_EQ(std::string::npos, log().find(secret)) << log();
    }
    EXPECT_EQ(std::string::npos, environ.find("SUPERVISOR_TOKEN")) << environ;
    // One log, on standard output, the start program's line and the bridge's in order.
    EXPECT_EQ("", start_->err());
    EXPECT_LT(start_->out().find("vantrel-app: "), start_->out().find("node_id house"));
    // Its configuration and password file are its user's alone.
    std::size_t private_files = 0;
    for (const auto& folder : std::filesystem::directory_iterator(dir_)) {
        if (folder.path().filename().string().rfind("vantrel-app-", 0) != 0) continue;
        for (const auto& file : std::filesystem::directory_iterator(folder)) {
            struct stat info {};
            ASSERT_EQ(0, stat(file.path().c_str(), &info));
            EXPECT_EQ(0600u, info.st_mode & 0777u) << file.path();
            ++private_files;
        }
    }
    EXPECT_EQ(2u, private_files);

    start_->signal(SIGTERM);
    EXPECT_EQ(0, start_->finish()) << log();
    EXPECT_TRUE(watch.wait_for("vantrel/house/availability", "offline"));
}

// Home Assistant's Mosquitto app with TLS: mqtts:// to the service's port, checked against the
// system's certificate store (here the test's CA, as SSL_CERT_FILE names it).
TEST_F(AppStart, ASupervisorsServiceWithSslIsReachedOverTls) {
    const int tls_port = test::free_port();
    const std::string script =
        "set -e; cd '" + dir_ +
        "'\n"
        "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -subj /CN=ca "
        "-days 2 2>/dev/null\n"
        "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "
        "/CN=localhost 2>/dev/null\n"
        "printf 'subjectAltName=DNS:localhost' > san\n"
        "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out "
        "server.crt -days 2 -extfile san 2>/dev/null\n"
        "chmod 644 *.crt *.key\n";
    ASSERT_EQ(0, std::system(script.c_str()));
    broker_->start("password_file " + dir_ + "/passwords\nlistener " + std::to_string(tls_port) +
                   " 127.0.0.1\ncafile " + dir_ + "/ca.crt\ncertfile " + dir_ +
                   "/server.crt\nkeyfile " + dir_ + "/server.key\n");
    json tls = service();
    tls["host"] = "localhost";
    tls["port"] = std::to_string(tls_port);  // the Supervisor may give it as text
    tls["ssl"] = true;
    run_supervisor(tls);
    test::client watch(broker_->port(), "hub", password);
    watch.subscribe("vantrel/house/availability");
    start(options().dump(), {{"SSL_CERT_FILE", dir_ + "/ca.crt"}});
    ASSERT_TRUE(watch.wait_for("vantrel/house/availability", "online")) << log();
    EXPECT_NE(std::string::npos, log().find("localhost:" + std::to_string(tls_port) + " over TLS"))
        << log();
    start_->signal(SIGTERM);
    EXPECT_EQ(0, start_->finish()) << log();
}

TEST_F(AppStart, ABrokerOfTheOptionsWinsAndTheSupervisorIsNotAsked) {
    run_supervisor(false);  // would fail the start if it were asked
    json own = options();
    own["mqtt_server"] = "mqtt://127.0.0.1:" + std::to_string(broker_->port());
    own["mqtt_user"] = "hub";
    own["mqtt_password"] = password;
    test::client watch(broker_->port(), "hub", password);
    watch.subscribe("vantrel/house/availability");
    start(own.dump());
    ASSERT_TRUE(watch.wait_for("vantrel/house/availability", "online")) << log();
    EXPECT_EQ("", read_file(dir_ + "/supervisor.log"));
    start_->signal(SIGTERM);
    EXPECT_EQ(0, start_->finish()) << log();
}

// Each fault: one line that names the option, exit status 2, and the Supervisor not asked, no
// connection to the broker, no frame.
TEST_F(AppStart, BadOptionsAreOneLineNamingTheOptionAndNothingIsAskedOrSent) {
    run_supervisor();
    const auto with = [](const std::string& key, const json& value) {
        json o = options();
        if (value.is_null())
            o.erase(key);
        else
            o[key] = value;
        return o.dump();
    };
    const json a1 = {{"id", "A1"}, {"name", "Hall lamp"}};
    const std::vector<std::pair<std::string, std::string>> cases = {
        {with("units", json::array({{{"id", "Q1"}}})), "bad option units, entry 1 (Q1): "},
        {with("units", json::array({{{"id", "E3"}}, {{"id", "e3"}}})),
         "bad option units, entry 2 (e3): "},
        {with("units", json::array({{{"id", "A1"}, {"type", "dimmer"}}})),
         "bad option units, entry 1 (A1): "},
        {with("units", json::array({{{"id", "E3"}, {"type", "switch"}, {"dimmable", true}}})),
         "bad option units, entry 1 (E3): "},
        {with("units", json::array({{{"id", "A1"}, {"name", 5}}})),
         "bad option units, entry 1 (A1) name "},
        {with("units", json::array({a1, {{"name", "no id"}}})), "bad option units, entry 2 "},
        {with("serial_port", nullptr), "bad option serial_port: "},
        {with("node_id", "House"), "bad option node_id: "},
        {with("clock_rate", -1), "bad option clock_rate: "},
        {with("frame_gap", "soon"), "bad option frame_gap: "},
        {with("mqtt_server", "http://127.0.0.1"), "bad option mqtt_server: "},
        {with("mqtt_password", "secret"), "bad option mqtt_password: "},  // without a user
        {"{\"serial_port\": ", "the options " + dir_ + "/options.json are not JSON"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        const std::size_t connections = bridge_connections();
        const test::trace_mark mark;
        start(text);
        EXPECT_EQ(2, start_->finish());
        const std::vector<std::string> lines = lines_of(log());
        ASSERT_EQ(1u, lines.size()) << log();
        EXPECT_EQ(0u, lines[0].find("vantrel-app: " + expected)) << lines[0];
        EXPECT_EQ("", read_file(dir_ + "/supervisor.log"));
        EXPECT_EQ(connections, bridge_connections()) << broker_->log();
        EXPECT_TRUE(mark.events().empty());
    }
}

TEST_F(AppStart, ASupervisorThatRefusesFailsOrIsNotThereIsOneLineAndNoConnection) {
    struct fault {
        std::string name, token;
        bool json, reachable;
        std::string expected;
    };
    const std::vector<fault> cases = {
        {"wrong token", "another-token", true, true,
         "the Supervisor refused the MQTT service (HTTP 401)"},
        {"not JSON", token, false, true, "the Supervisor's answer (HTTP 200) is not JSON"},
        {"not there", token, true, false, "can't reach the Supervisor at http://127.0.0.1:"},
    };
    for (const fault& f : cases) {
        SCOPED_TRACE(f.name);
        run_supervisor(f.json);
        if (!f.reachable) {
            supervisor_.reset();
            supervisor_url_ = "http://127.0.0.1:" + std::to_string(test::free_port());
        }
        const std::size_t connections = bridge_connections();
        start(options().dump(), {{"SUPERVISOR_TOKEN", f.token}});
        EXPECT_EQ(1, start_->finish());
        const std::vector<std::string> lines = lines_of(log());
        ASSERT_EQ(1u, lines.size()) << log();
        EXPECT_EQ(0u, lines[0].find("vantrel-app: " + f.expected)) << lines[0];
        EXPECT_EQ(std::string::npos, lines[0].find(f.token));
        EXPECT_EQ(connections, bridge_connections()) << broker_->log();
    }
}

}  // namespace
