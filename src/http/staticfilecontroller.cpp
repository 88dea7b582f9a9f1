#include "http/staticfilecontroller.h"

#include "http/httprequest.h"
#include "http/httpresponse.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMimeDatabase>
#include <QSettings>

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

void notFound(HttpResponse &response)
{
    response.setStatus(404, "Not Found");
    response.setHeader("Content-Type", "text/plain");
    response.write("404 Not Found", true);
}

} // namespace

StaticFileController::~StaticFileController()
{
    if (rootFd >= 0)
        ::close(rootFd);
}

StaticFileController::StaticFileController(QSettings *settings, QObject *parent) : HttpRequestHandler(parent)
{
    const QString path = platform::resolveAppPath(settings->value(QStringLiteral("path"), QStringLiteral(".")).toString());
    const QFileInfo root(path);
    const QString docroot = root.canonicalFilePath().isEmpty() ? QDir::cleanPath(root.absoluteFilePath())
                                                               : root.canonicalFilePath();
    // Held open for the life of the controller: every file is opened relative to it.
    rootFd = ::open(QFile::encodeName(docroot).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    encoding = settings->value(QStringLiteral("encoding"), QStringLiteral("UTF-8")).toString().toLatin1();
    maxAge = settings->value(QStringLiteral("maxAge"), 0).toInt();
    cacheControl = maxAge > 0 ? "max-age=" + QByteArray::number(maxAge) : QByteArray("no-cache");
}

void StaticFileController::service(HttpRequest &request, HttpResponse &response)
{
    const QByteArray method = request.getMethod();
    const QByteArray rawPath = request.getPath();
    if ((method != "GET" && method != "HEAD") || rawPath.contains('\0')) {
        notFound(response);
        return;
    }

    // The path arrives decoded. Cleaning it inside a virtual root keeps ".."
    // from climbing above it; the kernel's RESOLVE_BENEATH then refuses any
    // symlink that leads out of the document root.
    const QByteArray relative = QFile::encodeName(QDir::cleanPath(QStringLiteral("/") + QString::fromUtf8(rawPath))).mid(1);
    FileHandle file;
    file.fd = openBeneathAt(rootFd, relative.isEmpty() ? "." : relative.constData());
    struct stat st = {};
    bool directoryIndex = false;
    if (file.fd >= 0 && ::fstat(file.fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        directoryIndex = true;
        const int dirFd = file.fd;
        file.fd = openBeneathAt(dirFd, "index.html");
        ::close(dirFd);
        if (file.fd < 0 || ::fstat(file.fd, &st) != 0)
            file.fd = -1;
    }
    if (file.fd < 0 || !S_ISREG(st.st_mode)) {
        notFound(response);
        return;
    }

    response.setStatus(200, "OK");
    response.setHeader("Content-Type", contentTypeFor(directoryIndex ? QStringLiteral("index.html")
                                                                     : QFile::decodeName(relative.mid(relative.lastIndexOf('/') + 1))));
    response.setHeader("Cache-Control", cacheControl);
    if (st.st_size <= smallFileLimit) {
        QByteArray body(static_cast<qsizetype>(st.st_size), Qt::Uninitialized);
        qsizetype done = 0;
        while (done < body.size()) {
            const ssize_t n = ::read(file.fd, body.data() + done, static_cast<size_t>(body.size() - done));
            if (n <= 0)
                break;
            done += n;
        }
        body.truncate(done);
        response.write(body, true);
    } else {
        // Large files stream from disk in chunks instead of being held in memory.
        response.writeFile(file.release(), st.st_size);
    }
}

int StaticFileController::openBeneathAt(int dirFd, const char *relative)
{
    struct open_how how = {};
    how.flags = O_RDONLY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    int fd;
    do {
        fd = static_cast<int>(::syscall(SYS_openat2, dirFd, relative, &how, sizeof how));
    } while (fd < 0 && errno == EAGAIN);
    return fd;
}

QByteArray StaticFileController::contentTypeFor(const QString &fileName) const
{
    // The MIME database's glob matching is costly per request; the answer per
    // suffix never changes while Orvo runs.
    const QString suffix = fileName.section(QLatin1Char('.'), -1).toLower();
    thread_local QHash<QString, QByteArray> cache;
    const auto it = cache.constFind(suffix);
    if (it != cache.cend())
        return it.value();
    static const QMimeDatabase mimeDatabase;
    const QMimeType mime = mimeDatabase.mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    QByteArray contentType = mime.name().toLatin1();
    if (mime.inherits(QStringLiteral("text/plain")) || contentType == "application/javascript"
        || contentType == "image/svg+xml" || contentType == "application/json")
        contentType += "; charset=" + encoding;
    cache.insert(suffix, contentType);
    return contentType;
}

StaticFileController::FileHandle::~FileHandle()
{
    if (fd >= 0)
        ::close(fd);
}
