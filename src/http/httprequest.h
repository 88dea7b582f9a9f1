#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QMap>

#include "http/parametermap.h"

#include <memory>
#include <vector>

namespace httplib {
struct Request;
}

// One HTTP request as the request handler sees it. Valid only inside
// HttpRequestHandler::service, on the thread that called it.
class HttpRequest
{
public:
    explicit HttpRequest(const httplib::Request &request);
    ~HttpRequest();
    HttpRequest(const HttpRequest &) = delete;
    HttpRequest &operator=(const HttpRequest &) = delete;

    QByteArray getMethod() const;
    // The decoded request path, without the query.
    QByteArray getPath() const;
    // The query's parameters and the fields of url-encoded and multipart bodies,
    // each decoded once. A name given twice keeps its first value.
    ParameterMap getParameterMap() const;
    // The header's value, empty when absent. Names compare without regard to case.
    QByteArray getHeader(const QByteArray &name) const;
    // The uploaded file of a multipart field, owned by the request; nullptr when absent.
    QIODevice *getUploadedFile(const QByteArray &fieldName);

private:
    const httplib::Request &request;
    std::vector<std::unique_ptr<QIODevice>> uploads;
};
