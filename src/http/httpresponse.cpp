#include "http/httpresponse.h"


#include <httplib.h>

#include <algorithm>
#include <unistd.h>

HttpResponse::HttpResponse(httplib::Response &response) : response(response) {}

void HttpResponse::setStatus(int statusCode, const QByteArray &)
{
    // The library writes the standard reason phrase for the code.
    response.status = statusCode;
}

void HttpResponse::setHeader(const QByteArray &name, const QByteArray &value)
{
    const std::string key = name.toStdString();
    response.headers.erase(key);
    response.set_header(key.c_str(), value.toStdString());
}

void HttpResponse::write(const QByteArray &data, bool)
{
    response.body.append(data.constData(), static_cast<size_t>(data.size()));
}

void HttpResponse::writeFile(int fd, qint64 size)
{
    std::string contentType;
    const auto it = response.headers.find("Content-Type");
    if (it != response.headers.end()) {
        contentType = it->second;
        response.headers.erase(it);
    }
    response.set_content_provider(
        static_cast<size_t>(size), contentType,
        [fd](size_t offset, size_t length, httplib::DataSink &sink) {
            char buffer[64 * 1024];
            const ssize_t n = ::pread(fd, buffer, std::min(length, sizeof buffer), static_cast<off_t>(offset));
            if (n <= 0)
                return false;
            return sink.write(buffer, static_cast<size_t>(n));
        },
        [fd](bool) { ::close(fd); });
}
