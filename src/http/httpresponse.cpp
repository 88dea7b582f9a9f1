#include "http/httpresponse.h"

#include <QFile>

#include <httplib.h>

#include <memory>

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

void HttpResponse::setHeader(const QByteArray &name, int value)
{
    setHeader(name, QByteArray::number(value));
}

void HttpResponse::write(const QByteArray &data, bool)
{
    response.body.append(data.constData(), static_cast<size_t>(data.size()));
    written = true;
}

int HttpResponse::status() const
{
    return response.status;
}

void HttpResponse::writeFile(const QString &path, qint64 size)
{
    auto file = std::make_shared<QFile>(path);
    if (!file->open(QIODevice::ReadOnly)) {
        response.status = 404;
        return;
    }
    std::string contentType;
    const auto it = response.headers.find("Content-Type");
    if (it != response.headers.end()) {
        contentType = it->second;
        response.headers.erase(it);
    }
    response.set_content_provider(
        static_cast<size_t>(size), contentType,
        [file](size_t offset, size_t length, httplib::DataSink &sink) {
            if (static_cast<qint64>(offset) != file->pos() && !file->seek(static_cast<qint64>(offset)))
                return false;
            char buffer[64 * 1024];
            const qint64 n = file->read(buffer, static_cast<qint64>(std::min(length, sizeof buffer)));
            if (n <= 0)
                return false;
            return sink.write(buffer, static_cast<size_t>(n));
        });
    written = true;
}
