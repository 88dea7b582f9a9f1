#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <thread>

class QSettings;
class HttpRequestHandler;

namespace httplib {
class Server;
}

// The HTTP server. It binds in the constructor, so isListening() answers at
// once, and serves on a thread of its own with a pool of worker threads that
// call the handler's service(). Deleting it closes the port and joins the workers.
//
// Keys of its settings group: "port", "host" (default 127.0.0.1), "maxThreads"
// (default 32), "readTimeout" (ms), "maxRequestSize" and "maxMultiPartSize" (bytes).
class HttpListener : public QObject
{
    Q_OBJECT
public:
    HttpListener(QSettings *settings, HttpRequestHandler *requestHandler, QObject *parent = nullptr);
    ~HttpListener() override;

    bool isListening() const { return listening; }
    int port() const { return listeningPort; }

private:
    std::unique_ptr<httplib::Server> server;
    std::thread serverThread;
    HttpRequestHandler *requestHandler;
    int listeningPort = 0;
    bool listening = false;
};
