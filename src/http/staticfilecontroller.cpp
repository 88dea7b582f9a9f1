#include "http/staticfilecontroller.h"

#include "http/httprequest.h"
#include "http/httpresponse.h"
#include "platform/platform.h"

#include <QDir>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QSettings>

namespace {

void notFound(HttpResponse &response)
{
    response.setStatus(404, "Not Found");
    response.setHeader("Content-Type", "text/plain");
    response.write("404 Not Found", true);
}

} // namespace

StaticFileController::StaticFileController(QSettings *settings, QObject *parent) : HttpRequestHandler(parent)
{
    const QString path = platform::resolveAppPath(settings->value(QStringLiteral("path"), QStringLiteral(".")).toString());
    const QFileInfo root(path);
    docroot = root.canonicalFilePath().isEmpty() ? QDir::cleanPath(root.absoluteFilePath()) : root.canonicalFilePath();
    encoding = settings->value(QStringLiteral("encoding"), QStringLiteral("UTF-8")).toString().toLatin1();
    maxAge = settings->value(QStringLiteral("maxAge"), 0).toInt();
}

void StaticFileController::service(HttpRequest &request, HttpResponse &response)
{
    const QByteArray method = request.getMethod();
    const QByteArray rawPath = request.getPath();
    if ((method != "GET" && method != "HEAD") || rawPath.contains('\0')) {
        notFound(response);
        return;
    }

    // The path arrives decoded; cleaning it inside a virtual root keeps ".."
    // from climbing above it, and the canonical check below catches symlinks.
    const QString relative = QDir::cleanPath(QStringLiteral("/") + QString::fromUtf8(rawPath));
    QFileInfo info(docroot + relative);
    if (info.isDir())
        info.setFile(info.absoluteFilePath() + QStringLiteral("/index.html"));
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty() || !info.isFile() || !info.isReadable()
        || !(canonical.startsWith(docroot + QLatin1Char('/')))) {
        notFound(response);
        return;
    }

    static const QMimeDatabase mimeDatabase;
    const QMimeType mime = mimeDatabase.mimeTypeForFile(canonical, QMimeDatabase::MatchExtension);
    QByteArray contentType = mime.name().toLatin1();
    if (mime.inherits(QStringLiteral("text/plain")) || contentType == "application/javascript"
        || contentType == "image/svg+xml" || contentType == "application/json")
        contentType += "; charset=" + encoding;
    response.setStatus(200, "OK");
    response.setHeader("Content-Type", contentType);
    response.setHeader("Cache-Control", maxAge > 0 ? "max-age=" + QByteArray::number(maxAge) : QByteArray("no-cache"));
    response.writeFile(canonical, info.size());
}
