#pragma once

#include <string>

namespace httplib {
struct Request;
}

// The checks every request passes before any routing or body reading: only
// the loopback names may be asked for (no DNS rebinding), and no other site may
// make the browser call us.
namespace gate {

// Returns 0 when the request may pass, otherwise the HTTP status to answer (403).
int check(const httplib::Request &request, int listeningPort);

// Host header allowed for `port`: 127.0.0.1, localhost or [::1] with ":port";
// on port 80 also without a port.
bool hostAllowed(const std::string &host, int port);

// Origin header allowed: "http://" + an allowed host.
bool originAllowed(const std::string &origin, int port);

} // namespace gate
