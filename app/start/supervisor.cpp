#include "supervisor.h"

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <memory>

namespace vantrel::app {
namespace {

using nlohmann::json;

// The service's answer is a few hundred bytes; a larger one is cut off as an error.
constexpr std::size_t max_answer = 64 * 1024;

std::size_t collect(char* data, std::size_t size, std::size_t count, void* body) {
    auto& text = *static_cast<std::string*>(body);
    if (text.size() + size * count > max_answer) return 0;
    text.append(data, size * count);
    return size * count;
}

// The answer's "data", or an error for an answer that is not {"result":"ok","data":{...}}.
bool service_data(const std::string& body, long status, json& data, std::string& error) {
    const json answer = json::parse(body, nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) {
        error = "the Supervisor's answer (HTTP " + std::to_string(status) + ") is not JSON";
        return false;
    }
    const auto result = answer.find("result");
    if (status != 200 || result == answer.end() || *result != "ok") {
        const auto message = answer.find("message");
        error =
            "the Supervisor refused the MQTT service (HTTP " + std::to_string(status) + ")" +
            (message != answer.end() && message->is_string() ? ": " + message->get<std::string>()
                                                             : std::string());
        return false;
    }
    const auto found = answer.find("data");
    if (found == answer.end() || !found->is_object()) {
        error = "the Supervisor's answer holds no MQTT service";
        return false;
    }
    data = *found;
    return true;
}

}  // namespace

bool fetch_mqtt_service(const std::string& url, const std::string& token, mqtt_service& out,
                        std::string& error) {
    if (token.empty()) {
        error = "no SUPERVISOR_TOKEN: the app must be started by the Supervisor";
        return false;
    }
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(),
                                                                   curl_easy_cleanup);
    if (!curl) {
        error = "can't set up an HTTP client";
        return false;
    }
    const std::string address = url + "/services/mqtt";
    const std::string authorization = "Authorization: Bearer " + token;
    const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
        curl_slist_append(nullptr, authorization.c_str()), curl_slist_free_all);
    std::string body;
    char reason[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl.get(), CURLOPT_URL, address.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl.get(), CURLOPT_ERRORBUFFER, reason);
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 30L);
    // The token goes to the Supervisor alone: no redirect takes it elsewhere.
    curl_easy_setopt(curl.get(), CURLOPT_FOLLOWLOCATION, 0L);
    // The token goes to the Supervisor alone, never to a proxy that the environment names.
    curl_easy_setopt(curl.get(), CURLOPT_PROXY, "");
    curl_easy_setopt(curl.get(), CURLOPT_PROTOCOLS_STR, "http,https");
    if (const CURLcode code = curl_easy_perform(curl.get()); code != CURLE_OK) {
        error = "can't reach the Supervisor at " + address + ": " +
                (reason[0] ? reason : curl_easy_strerror(code));
        return false;
    }
    long status = 0;
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
    json data;
    if (!service_data(body, status, data, error)) return false;

    const auto host = data.find("host");
    if (host == data.end() || !host->is_string() || host->get<std::string>().empty()) {
        error = "the Supervisor's MQTT service names no host";
        return false;
    }
    out = mqtt_service();
    out.host = host->get<std::string>();
    // The port comes as a number or as the text of one.
    if (const auto port = data.find("port"); port != data.end()) {
        const std::string text = port->is_string() ? port->get<std::string>() : port->dump();
        char* end = nullptr;
        const long value = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || value < 1 || value > 65535) {
            error = "the Supervisor's MQTT service gives no port from 1 to 65535: " + port->dump();
            return false;
        }
        out.port = static_cast<int>(value);
    }
    // A login must not go out in the clear to a TLS port for want of reading "ssl".
    const auto ssl = data.find("ssl");
    if (ssl != data.end() && !ssl->is_boolean() && !ssl->is_null()) {
        error = "the Supervisor's MQTT service gives ssl as " + ssl->dump() + ", not true or false";
        return false;
    }
    out.ssl = ssl != data.end() && ssl->is_boolean() && ssl->get<bool>();
    for (auto [key, field] : {std::pair{"username", &out.user}, {"password", &out.password}}) {
        const auto value = data.find(key);
        if (value != data.end() && value->is_string()) *field = value->get<std::string>();
    }
    return true;
}

}  // namespace vantrel::app
