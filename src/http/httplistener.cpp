#include "http/httplistener.h"

#include "http/gate.h"
#include "http/httprequest.h"
#include "http/httprequesthandler.h"
#include "http/httpresponse.h"
#include "http/workerpool.h"

#include <QSettings>

#include <httplib.h>

#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>

namespace {

// Threads the worker pool may start beyond "maxThreads" when every kept
// worker is held (stalled clients, blocking handlers). Each open connection
// also needs a descriptor, and the usual limit is 1024 of them per process.
constexpr int connectionThreadLimit = 1000;

void configureSocket(socket_t sock)
{
    // SO_REUSEADDR only: SO_REUSEPORT would let a second process bind the same
    // port and hide a bind failure.
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    // Children (browser, boot loader) must not inherit the port.
    const int flags = ::fcntl(sock, F_GETFD);
    if (flags >= 0)
        ::fcntl(sock, F_SETFD, flags | FD_CLOEXEC);
}

} // namespace

HttpListener::HttpListener(QSettings *settings, HttpRequestHandler *requestHandler, QObject *parent)
    : QObject(parent), server(std::make_unique<httplib::Server>()), requestHandler(requestHandler)
{
    listeningPort = settings->value(QStringLiteral("port"), 0).toInt();
    const std::string host = settings->value(QStringLiteral("host"), QStringLiteral("127.0.0.1")).toString().toStdString();
    const int maxThreads = std::max(2, settings->value(QStringLiteral("maxThreads"), 32).toInt());
    const int readTimeoutMs = std::max(100, settings->value(QStringLiteral("readTimeout"), 10000).toInt());
    const qint64 maxRequestSize = std::max<qint64>(1024, settings->value(QStringLiteral("maxRequestSize"), 16000000).toLongLong());
    const qint64 maxMultiPartSize = std::max<qint64>(1024, settings->value(QStringLiteral("maxMultiPartSize"), 64000000).toLongLong());

    httplib::Server &svr = *server;
    svr.new_task_queue = [maxThreads] {
        return new WorkerPool(static_cast<size_t>(maxThreads), static_cast<size_t>(std::max(maxThreads, connectionThreadLimit)));
    };
    svr.set_socket_options(configureSocket);
    svr.set_tcp_nodelay(true);
    svr.set_keep_alive_max_count(100);
    svr.set_keep_alive_timeout(2);
    svr.set_read_timeout(readTimeoutMs / 1000, (readTimeoutMs % 1000) * 1000);
    svr.set_write_timeout(30, 0);
    svr.set_payload_max_length(static_cast<size_t>(std::max(maxRequestSize, maxMultiPartSize)));
    svr.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                             {"X-Frame-Options", "SAMEORIGIN"},
                             {"Referrer-Policy", "same-origin"}});

    auto dispatch = [this](const httplib::Request &req, httplib::Response &res) {
        HttpRequest request(req);
        HttpResponse response(res);
        this->requestHandler->service(request, response);
    };

    svr.set_pre_routing_handler([this, maxRequestSize, maxMultiPartSize, dispatch](const httplib::Request &req,
                                                                                    httplib::Response &res) {
        if (const int status = gate::check(req, listeningPort)) {
            res.status = status;
            res.set_content("403 Forbidden", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        }
        // Multipart bodies (uploads, exports) may be larger than other bodies.
        const bool multipart = req.get_header_value("Content-Type").rfind("multipart/form-data", 0) == 0;
        const qint64 limit = multipart ? maxMultiPartSize : maxRequestSize;
        if (req.has_header("Content-Length")) {
            const std::string length = req.get_header_value("Content-Length");
            char *end = nullptr;
            const unsigned long long value = std::strtoull(length.c_str(), &end, 10);
            if (end == length.c_str() || value > static_cast<unsigned long long>(limit)) {
                res.status = 413;
                res.set_content("413 Payload Too Large", "text/plain");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        // A GET or HEAD without a body has nothing left to read: answer it here
        // and spare it the library's pattern matching of the routes below.
        if ((req.method == "GET" || req.method == "HEAD") && !req.has_header("Transfer-Encoding")
            && (!req.has_header("Content-Length") || req.get_header_value("Content-Length") == "0")) {
            dispatch(req, res);
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    svr.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
        res.status = 500;
        res.headers.erase("Content-Type");
        res.set_content("500 Internal Server Error", "text/plain");
    });

    svr.Get(".*", dispatch);
    svr.Post(".*", dispatch);
    svr.Put(".*", dispatch);
    svr.Delete(".*", dispatch);
    svr.Patch(".*", dispatch);
    svr.Options(".*", dispatch);

    if (listeningPort == 0) {
        // Port 0 asks the system for a free port (used by the tests).
        listeningPort = svr.bind_to_any_port(host);
        listening = listeningPort > 0;
    } else {
        listening = svr.bind_to_port(host, listeningPort);
    }
    if (listening) {
        serverThread = std::thread([this] { server->listen_after_bind(); });
        // stop() only takes effect once the accept loop runs.
        for (int i = 0; i < 2000 && !server->is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::printf("Orvo " ORVO_VERSION_TEXT " listening on http://127.0.0.1:%d\n", listeningPort);
        std::fflush(stdout);
    }
}

HttpListener::~HttpListener()
{
    if (server)
        server->stop();
    if (serverThread.joinable())
        serverThread.join();
}
