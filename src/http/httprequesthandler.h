#pragma once

#include <QObject>

class HttpRequest;
class HttpResponse;

// Base of the request handlers. service() runs once per request, on one of the
// server's worker threads, possibly several at once.
class HttpRequestHandler : public QObject
{
    Q_OBJECT
public:
    explicit HttpRequestHandler(QObject *parent = nullptr);
    ~HttpRequestHandler() override;

    virtual void service(HttpRequest &request, HttpResponse &response);
};
