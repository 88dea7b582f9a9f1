#include "fuzzsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <httplib.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fuzzsupport {

namespace {

struct Environment {
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<QCoreApplication> app;
    int closedPort = 0;
};

int bindWithoutListening()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 9;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        ::close(fd);
        return 9;
    }
    // Kept open for the life of the process so that nobody else takes the port.
    return ntohs(addr.sin_port);
}

Environment &environment()
{
    static Environment env = [] {
        Environment e;
        // The settings store is opened through the environment, so it must be
        // redirected before the application object exists.
        e.dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/orvo-fuzz-XXXXXX"));
        const QByteArray home = QFile::encodeName(e.dir->path());
        ::setenv("HOME", home.constData(), 1);
        ::setenv("XDG_CONFIG_HOME", (home + "/config").constData(), 1);
        ::setenv("XDG_DATA_HOME", (home + "/data").constData(), 1);
        ::setenv("XDG_CACHE_HOME", (home + "/cache").constData(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        QStandardPaths::setTestModeEnabled(true);
        static int argc = 1;
        static char name[] = "orvo-fuzz";
        static char *argv[] = {name, nullptr};
        e.app = std::make_unique<QCoreApplication>(argc, argv);
        QCoreApplication::setOrganizationName(QStringLiteral("Brask"));
        QCoreApplication::setApplicationName(QStringLiteral("Orvo"));
        e.closedPort = bindWithoutListening();
        return e;
    }();
    return env;
}

std::string takeLine(const std::string &text, size_t &pos)
{
    const size_t end = text.find('\n', pos);
    std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

void parseParts(const std::string &body, httplib::Request &request)
{
    static const std::string separator = "\n--part\n";
    size_t start = body.compare(0, separator.size() - 1, separator.substr(1)) == 0 ? separator.size() - 1 : 0;
    while (start < body.size()) {
        size_t end = body.find(separator, start);
        const std::string part = body.substr(start, end == std::string::npos ? std::string::npos : end - start);
        size_t pos = 0;
        httplib::MultipartFormData field;
        field.name = takeLine(part, pos);
        field.filename = takeLine(part, pos);
        field.content_type = takeLine(part, pos);
        field.content = part.substr(pos);
        request.files.emplace(field.name, field);
        if (end == std::string::npos)
            break;
        start = end + separator.size();
    }
}

} // namespace

void ensureApplication()
{
    environment();
}

QString scratchDir()
{
    return environment().dir->path();
}

int closedPort()
{
    return environment().closedPort;
}

void buildRequest(const uint8_t *data, size_t size, httplib::Request &request)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    size_t pos = 0;

    const std::string first = takeLine(text, pos);
    std::string target = first;
    request.method = "GET";
    if (const size_t space = first.find(' '); space != std::string::npos) {
        request.method = first.substr(0, space);
        target = first.substr(space + 1);
    }
    request.target = target;
    const size_t question = target.find('?');
    request.path = httplib::detail::decode_url(target.substr(0, question), false);
    if (question != std::string::npos)
        httplib::detail::parse_query_text(target.substr(question + 1), request.params);

    while (pos < text.size()) {
        const std::string line = takeLine(text, pos);
        if (line.empty())
            break;
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        size_t valueStart = colon + 1;
        while (valueStart < line.size() && (line[valueStart] == ' ' || line[valueStart] == '\t'))
            ++valueStart;
        request.headers.emplace(line.substr(0, colon), line.substr(valueStart));
    }
    request.body = text.substr(pos);

    const std::string contentType = request.get_header_value("Content-Type");
    if (contentType.rfind("application/x-www-form-urlencoded", 0) == 0)
        httplib::detail::parse_query_text(request.body, request.params);
    else if (contentType.rfind("multipart/form-data", 0) == 0)
        parseParts(request.body, request);
}

} // namespace fuzzsupport
