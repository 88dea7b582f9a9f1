#include "http/gate.h"

#include <httplib.h>

#include <algorithm>
#include <array>
#include <cctype>

namespace gate {

namespace {

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

bool hostAllowed(const std::string &host, int port)
{
    static const std::array<std::string, 3> names{"127.0.0.1", "localhost", "[::1]"};
    const std::string h = lower(host);
    const std::string withPort = ":" + std::to_string(port);
    for (const std::string &name : names) {
        if (h == name + withPort)
            return true;
        if (port == 80 && h == name)
            return true;
    }
    return false;
}

bool originAllowed(const std::string &origin, int port)
{
    const std::string o = lower(origin);
    static const std::string scheme = "http://";
    if (o.compare(0, scheme.size(), scheme) != 0)
        return false;
    return hostAllowed(o.substr(scheme.size()), port);
}

int check(const httplib::Request &request, int listeningPort)
{
    if (!request.has_header("Host") || !hostAllowed(request.get_header_value("Host"), listeningPort))
        return 403;
    if (request.has_header("Origin") && !originAllowed(request.get_header_value("Origin"), listeningPort))
        return 403;
    if (request.has_header("Sec-Fetch-Site")) {
        const std::string site = lower(request.get_header_value("Sec-Fetch-Site"));
        if (site == "cross-site" || site == "same-site")
            return 403;
    }
    return 0;
}

} // namespace gate
