#pragma once

#include <QByteArray>
#include <QString>

namespace httplib {
struct Response;
}

// The answer to one request. Headers are set before the body; write() is
// called once per request with the whole body.
class HttpResponse
{
public:
    explicit HttpResponse(httplib::Response &response);

    void setStatus(int statusCode, const QByteArray &description = QByteArray());
    void setHeader(const QByteArray &name, const QByteArray &value);
    void write(const QByteArray &data, bool lastPart = false);
    // Streams `size` bytes of an open file as the body, without holding it whole
    // in memory. Takes ownership of the descriptor.
    void writeFile(int fd, qint64 size);

private:
    httplib::Response &response;
};
