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
    ~StaticFileController() override;

    void service(HttpRequest &request, HttpResponse &response) override;

private:
    struct FileHandle {
        int fd = -1;
        FileHandle() = default;
        FileHandle(const FileHandle &) = delete;
        FileHandle &operator=(const FileHandle &) = delete;
        ~FileHandle();
        int release()
        {
            const int f = fd;
            fd = -1;
            return f;
        }
    };
    static int openBeneathAt(int dirFd, const char *relative);
    QByteArray contentTypeFor(const QString &fileName) const;

    int rootFd = -1;
    static constexpr qint64 smallFileLimit = 256 * 1024;
    QByteArray encoding;
    int maxAge = 0;
    QByteArray cacheControl;
};
