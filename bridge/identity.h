// What the bridge keeps in its state folder: its identity, and a session it could not end.
//
// The bridge's identity when the configuration names none: made once, from the host name and
// six random hex digits, and stored, so that it stays when the host is renamed and differs
// between two hosts of the same name (Raspberry Pis left at "raspberrypi"). The identity names
// every topic and the device in Home Assistant: a new one makes new entities.
#pragma once

#include <cstddef>
#include <string>

namespace vantrel::mqtt {

// bytes random bytes from the kernel, in lower-case hex; false when it gives none.
bool random_hex(std::size_t bytes, std::string& out);

// Where it is stored: the service's state folder that systemd names in STATE_DIRECTORY
// (StateDirectory=vantrel), else /var/lib/vantrel.
std::string state_directory();

struct identity {
    std::string node_id;  // empty when none is stored and none was to be made
    std::string origin;   // for the log and --check: where it comes from
};

// The stored identity; else, when make is true, a new one, stored before it is used. False
// with error when the stored one cannot be read or is no node id, or a new one cannot be
// stored.
bool stored_identity(const std::string& dir, const std::string& host_name, bool make,
                     identity& out, std::string& error);

// A bridge stopped on purpose while its broker was out of reach could not end its session
// there: the commands published meanwhile would wait in it for the next start. The client id
// of that session is noted in the state folder, and the next start ends it first.
inline constexpr const char* kept_session_file = "kept_session";
// The client id noted, or empty.
std::string kept_session(const std::string& dir);
bool note_kept_session(const std::string& dir, const std::string& client_id, std::string& error);
void forget_kept_session(const std::string& dir);

}  // namespace vantrel::mqtt
