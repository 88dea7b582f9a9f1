#include "http/httprequest.h"

#include <QBuffer>

#include <httplib.h>

HttpRequest::HttpRequest(const httplib::Request &request) : request(request) {}

HttpRequest::~HttpRequest() = default;

QByteArray HttpRequest::getMethod() const
{
    return QByteArray::fromStdString(request.method);
}

QByteArray HttpRequest::getPath() const
{
    return QByteArray::fromStdString(request.path);
}

ParameterMap HttpRequest::getParameterMap() const
{
    ParameterMap map;
    for (const auto &[name, value] : request.params) {
        const QByteArray key = QByteArray::fromStdString(name);
        if (!map.contains(key))
            map.insert(key, QByteArray::fromStdString(value));
    }
    // Plain fields of a multipart body are parameters too; file fields are uploads.
    for (const auto &[name, part] : request.files) {
        const QByteArray key = QByteArray::fromStdString(name);
        if (part.filename.empty() && !map.contains(key))
            map.insert(key, QByteArray::fromStdString(part.content));
    }
    return map;
}

QByteArray HttpRequest::getHeader(const QByteArray &name) const
{
    const auto it = request.headers.find(name.toStdString());
    if (it == request.headers.end())
        return QByteArray();
    return QByteArray::fromStdString(it->second);
}

QIODevice *HttpRequest::getUploadedFile(const QByteArray &fieldName)
{
    const auto it = request.files.find(fieldName.toStdString());
    if (it == request.files.end())
        return nullptr;
    auto buffer = std::make_unique<QBuffer>();
    buffer->setData(QByteArray::fromStdString(it->second.content));
    buffer->open(QIODevice::ReadOnly);
    uploads.push_back(std::move(buffer));
    return uploads.back().get();
}
