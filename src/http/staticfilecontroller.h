#pragma once

#include "http/httprequesthandler.h"

#include <QString>

class QSettings;

// Serves files below the document root. Keys of its settings group: "path"
// (relative paths are resolved against the application folder), "maxAge"
// (seconds, for Cache-Control), "encoding" (charset of text files).
// Takes everything it needs from the settings while it is constructed.
class StaticFileController : public HttpRequestHandler
{
    Q_OBJECT
public:
    StaticFileController(QSettings *settings, QObject *parent = nullptr);

    void service(HttpRequest &request, HttpResponse &response) override;

    QString documentRoot() const { return docroot; }

private:
    QString docroot;        // canonical path, no trailing slash
    QByteArray encoding;
    int maxAge = 0;
};
