#include "modules/updates.h"

#include "platform/platform.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QTimer>
#include <QUrl>

#include <cmath>

namespace {

const QByteArray parameterError = QByteArrayLiteral("{\"error\":\"Parameter error!\"}");
const QByteArray connectError = QByteArrayLiteral("{\"error\":\"Unable to connect with server!\"}");
const QByteArray diskError = QByteArrayLiteral("{\"error\":\"Unable to write to disk!\"}");
const QByteArray replyError = QByteArrayLiteral("{\"error\":\"Reply error!\"}");
const QByteArray completed = QByteArrayLiteral("{\"ok\":\"Completed correctly.\"}");
constexpr qint64 readBufferBytes = 1024 * 1024;

// The text a script would make of a list element, so that ["meter", 12] names
// the modules "meter" and "12" whichever way a page wrote them.
QString elementText(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Double: {
        const double d = value.toDouble();
        if (d == 0)
            return QStringLiteral("0");
        if (std::trunc(d) == d && std::fabs(d) < 1e21)
            return QString::number(d, 'f', 0);
        return QString::number(d, 'g', QLocale::FloatingPointShortest);
    }
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Array: {
        QStringList parts;
        for (const QJsonValue &item : value.toArray())
            parts.append(item.isNull() ? QString() : elementText(item));
        return parts.join(QLatin1Char(','));
    }
    case QJsonValue::Object:
        return QStringLiteral("[object Object]");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("undefined");
}

// Lists arrive as JSON arrays; they are parsed, never run as script.
bool parseArray(const QByteArray &json, QStringList *items)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    if (!doc.isArray())
        return false;
    items->clear();
    for (const QJsonValue &value : doc.array())
        items->append(elementText(value));
    return true;
}

quint64 generationOf(const QNetworkReply *reply)
{
    return reply->request().attribute(QNetworkRequest::User).toULongLong();
}

} // namespace

Updates::Updates(QSettings *settings, QObject *parent) : QObject(parent)
{
    // Both managers live on this (the main) thread, so the reply slots run here.
    listManager = new QNetworkAccessManager(this);
    fileManager = new QNetworkAccessManager(this);
    // Files may move on the server; following a redirect to plain http from
    // https would let anyone on the way swap a module file.
    listManager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    fileManager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);

    docRoot = QFileInfo(platform::resolveAppPath(settings->value(QStringLiteral("path"), QStringLiteral(".")).toString()));
    tmpDir = QFileInfo(QDir::cleanPath(docRoot.absoluteFilePath() + QStringLiteral("/../tmp")));

    // The settings object is shared with the request handler, which reads nothing
    // through it after this point.
    settings->endGroup();
    settings->beginGroup(QStringLiteral("updates"));
    updateServer = settings->value(QStringLiteral("updateServer"), QStringLiteral(".")).toString();

    inProgress = 0;
    updateStatus = QByteArrayLiteral("{}");

    connect(listManager, &QNetworkAccessManager::finished, this, &Updates::fileListDownloadFinished);
    connect(fileManager, &QNetworkAccessManager::finished, this, &Updates::fileDownloadFinished);
}

Updates::~Updates()
{
    // Replies torn down with the managers must not reach a half-destroyed object.
    listManager->disconnect(this);
    fileManager->disconnect(this);
    if (currentReply)
        currentReply->disconnect(this);
    QMutexLocker lock(&mutex);
    closeStagingFile();
}

QByteArray Updates::check4Updates(const ParameterMap &params)
{
    if (!params.contains("json"))
        return parameterError;
    const QByteArray body = "json=" + params.value("json");

    // Runs on a worker thread that Qt adopted: the event loop object comes first
    // so that the thread has an event dispatcher before the timer and the
    // sockets need one. Everything made here is deleted here, directly: an
    // adopted thread would never run deferred deletions.
    QEventLoop loop;
    QNetworkAccessManager manager;
    // The answer must come from the configured server itself.
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    QNetworkRequest request{QUrl(updateServer)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    const std::unique_ptr<QNetworkReply> reply(manager.post(request, body));

    QTimer timer;
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    timer.start(checkTimeoutMs);
    if (!reply->isFinished())
        loop.exec();

    if (!timer.isActive()) {
        disconnect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
        reply->abort();
        return connectError;
    }
    timer.stop();
    if (reply->error() != QNetworkReply::NoError)
        return connectError;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299)
        return connectError;
    return reply->readAll();
}

QByteArray Updates::startUpdating(const ParameterMap &params)
{
    if (!params.contains("modulesList"))
        return parameterError;

    QMutexLocker lock(&mutex);
    // A start that is refused still ends the "In progress" answer of a run that
    // goes on; the browser then sees that run's last status.
    inProgress = 0;

    QStringList modules;
    if (!parseArray(QUrl::fromPercentEncoding(params.value("modulesList")).toUtf8(), &modules) || modules.isEmpty())
        return parameterError;

    // From here on replies of an earlier run are dropped, before its staged
    // files go away below it.
    ++generation;
    closeStagingFile();
    writeFailed = false;
    if (!resetStagingFolder())
        return diskError;

    modulesToUpdate = modules;
    inProgress = 1;
    const quint64 run = generation;
    // The network managers live on the main thread; this worker hands the first
    // request over and answers at once, without waiting for it.
    QMetaObject::invokeMethod(this, [this, run] { beginRun(run); }, Qt::QueuedConnection);
    return QByteArrayLiteral("{\"ok\":\"Update started\"}");
}

QByteArray Updates::getUpdateStatus()
{
    QMutexLocker lock(&mutex);
    if (inProgress == 1)
        return QByteArrayLiteral("{\"ok\":\"In progress\"}");
    return updateStatus;
}

void Updates::beginRun(quint64 runGeneration)
{
    // The earlier run's outstanding request is abandoned. abort() emits
    // finished() at once, and the slot takes the mutex, so this happens unlocked;
    // the slot then finds the reply is no longer current and drops it.
    if (QNetworkReply *old = currentReply) {
        currentReply = nullptr;
        old->abort();
    }
    QMutexLocker lock(&mutex);
    if (runGeneration != generation)
        return;
    requestNextModule();
}

bool Updates::isCurrent(QNetworkReply *reply) const
{
    return reply == currentReply && generationOf(reply) == generation;
}

void Updates::setStatus(const QByteArray &text)
{
    inProgress = 0;
    updateStatus = text;
}

void Updates::stopWithStatus(const QByteArray &text)
{
    closeStagingFile();
    setStatus(text);
}

void Updates::requestNextModule()
{
    if (modulesToUpdate.isEmpty()) {
        closeStagingFile();
        if (copyFolder(tmpDir.absoluteFilePath(), docRoot.absoluteFilePath())) {
            removeDir(tmpDir.absoluteFilePath());
            setStatus(completed);
        } else {
            // The staged files stay for a look; the next start removes them.
            setStatus(diskError);
        }
        return;
    }

    QString url = updateServer;
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    url += QStringLiteral("fileList?moduleName=") + modulesToUpdate.first();
    QNetworkRequest request{QUrl(url)};
    request.setAttribute(QNetworkRequest::User, generation);
    request.setTransferTimeout(transferTimeoutMs);
    currentReply = listManager->get(request);
}

void Updates::fileListDownloadFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    QMutexLocker lock(&mutex);
    if (!isCurrent(reply))
        return;
    currentReply = nullptr;

    if (reply->error() != QNetworkReply::NoError) {
        setStatus("{\"error\":\"Reply error!\",\"errorNo\":" + QByteArray::number(int(reply->error())) + '}');
        return;
    }

    QByteArray body = reply->readAll();
    const qsizetype nul = body.indexOf('\0');
    if (nul >= 0)
        body.truncate(nul);
    QStringList files;
    if (parseArray(QString::fromLatin1(body).toUtf8(), &files))
        filesToDownload = files;
    else
        setStatus(replyError); // the run still goes on, see requestNextFile
    requestNextFile();
}

void Updates::requestNextFile()
{
    if (filesToDownload.isEmpty()) {
        if (!modulesToUpdate.isEmpty())
            modulesToUpdate.removeFirst();
        requestNextModule();
        return;
    }

    const QString url = filesToDownload.first();
    // Where the file goes is settled before anything is asked for, from the URL
    // that was listed, whatever redirects the server answers with.
    const QString relativePath = relativePathFromUrl(url);
    if (relativePath.isEmpty()) {
        stopWithStatus(replyError);
        return;
    }
    if (!openStagingFile(relativePath)) {
        stopWithStatus(diskError);
        return;
    }

    QNetworkRequest request{QUrl(url)};
    request.setAttribute(QNetworkRequest::User, generation);
    request.setTransferTimeout(transferTimeoutMs);
    QNetworkReply *reply = fileManager->get(request);
    // Without a limit the network thread reads ahead of the disk and queues the
    // whole file in memory; with one it waits until the data is written.
    reply->setReadBufferSize(readBufferBytes);
    currentReply = reply;
    // Written as it arrives, so a large file never sits whole in memory.
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] { fileDataArrived(reply); });
}

void Updates::fileDataArrived(QNetworkReply *reply)
{
    QMutexLocker lock(&mutex);
    if (!isCurrent(reply))
        return;
    if (writeToStagingFile(reply->readAll()))
        return;
    currentReply = nullptr;
    stopWithStatus(diskError);
    lock.unlock();
    // finished() follows at once; the slot drops it, as the reply is no longer current.
    reply->abort();
}

void Updates::fileDownloadFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    QMutexLocker lock(&mutex);
    if (!isCurrent(reply))
        return;
    currentReply = nullptr;

    if (reply->error() != QNetworkReply::NoError) {
        stopWithStatus(replyError);
        return;
    }
    bool stored = writeToStagingFile(reply->readAll());
    if (stored) {
        stored = stagingFile->flush();
        stagingFile->close();
        stored = stored && stagingFile->error() == QFileDevice::NoError;
    }
    closeStagingFile();
    if (!stored) {
        // Never "Completed correctly." over a file that did not reach the disk whole.
        setStatus(diskError);
        return;
    }
    filesToDownload.removeFirst();
    requestNextFile();
}

bool Updates::openStagingFile(const QString &relativePath)
{
    closeStagingFile();
    const QString stagingPath = tmpDir.absoluteFilePath();
    // The folder may have been removed behind Orvo's back: make it ours again,
    // but never write into a folder of that name that someone else made.
    if (!QFileInfo::exists(stagingPath) && !resetStagingFolder())
        return false;
    if (!QFileInfo::exists(stagingPath + QLatin1Char('/') + QLatin1String(stagingMarkerName)))
        return false;

    const QString target =
        stagingPath + (relativePath.startsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/")) + relativePath;
    if (!QDir().mkpath(QFileInfo(target).absolutePath()))
        return false;
    // Unbuffered, so that a short write shows at the write that made it.
    auto file = std::make_unique<QFile>(target);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered))
        return false;
    stagingFile = std::move(file);
    writeFailed = false;
    return true;
}

bool Updates::writeToStagingFile(const QByteArray &data)
{
    if (!stagingFile || writeFailed)
        return false;
    if (data.isEmpty())
        return true;
    if (stagingFile->write(data) != data.size()) {
        writeFailed = true;
        return false;
    }
    return true;
}

void Updates::closeStagingFile()
{
    // A QFile made on the main thread may be closed from a worker: it owns no
    // timers or children, and every use of it happens under the mutex.
    stagingFile.reset();
}

bool Updates::resetStagingFolder()
{
    const QString path = tmpDir.absoluteFilePath();
    const QFileInfo info(path);
    if (info.exists() || info.isSymLink()) {
        // With a document root of "." the folder beside it may be the user's own
        // tmp: only a folder that carries Orvo's marker is ever deleted.
        if (info.isSymLink() || !info.isDir()
            || !QFileInfo::exists(path + QLatin1Char('/') + QLatin1String(stagingMarkerName)))
            return false;
        if (!removeDir(path))
            return false;
    }
    if (!QDir().mkpath(path))
        return false;
    QFile marker(path + QLatin1Char('/') + QLatin1String(stagingMarkerName));
    if (!marker.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    marker.write("Staging folder of Orvo's module updates; deleted at the start of each update.\n");
    return marker.flush();
}

bool Updates::removeDir(const QString &path)
{
    const QFileInfo self(path);
    if (!self.isDir())
        return true;
    const QDir dir(path);
    const QFileInfoList entries = dir.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::DirsFirst);
    for (const QFileInfo &entry : entries) {
        // A link is removed itself, never followed into what it points at.
        if (entry.isDir() && !entry.isSymLink()) {
            if (!removeDir(entry.absoluteFilePath()))
                return false;
        } else if (!QFile::remove(entry.absoluteFilePath())) {
            return false;
        }
    }
    return QDir().rmdir(path);
}

bool Updates::copyFolder(const QString &source, const QString &target)
{
    const QDir sourceDir(source);
    if (!sourceDir.exists())
        return false;
    if (!QDir(target).exists() && !QDir().mkdir(target))
        return false;

    for (const QString &name : sourceDir.entryList(QDir::Files, QDir::Unsorted)) {
        const QString targetFile = target + QLatin1Char('/') + name;
        if (QFileInfo::exists(targetFile) || QFileInfo(targetFile).isSymLink())
            QFile::remove(targetFile);
        if (!QFile::copy(source + QLatin1Char('/') + name, targetFile))
            return false;
    }
    for (const QString &name : sourceDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted)) {
        if (!copyFolder(source + QLatin1Char('/') + name, target + QLatin1Char('/') + name))
            return false;
    }
    return true;
}

bool Updates::parseList(const QByteArray &json, QStringList *items)
{
    return parseArray(json, items);
}

QString Updates::relativePathFromUrl(const QString &url)
{
    const QUrl parsed(url);
    // Only network addresses: a listed "file:///root/notes.txt" would copy a
    // local file into the served document root.
    if (!parsed.isValid()
        || (parsed.scheme() != QLatin1String("http") && parsed.scheme() != QLatin1String("https")))
        return QString();
    // The search runs over the whole URL (scheme, host, path and query), so that
    // servers that name the file in a query ("get?f=/modules/m/a.js") work too.
    // Every piece is judged as the file system will see it: decoded once.
    const QStringList pieces =
        parsed.toString(QUrl::FullyEncoded | QUrl::RemoveFragment).split(QLatin1Char('/'), Qt::KeepEmptyParts);
    QStringList decoded;
    decoded.reserve(pieces.size());
    for (const QString &piece : pieces)
        decoded.append(QUrl::fromPercentEncoding(piece.toLatin1()));

    qsizetype start = -1;
    for (qsizetype i = 0; i < decoded.size(); ++i) {
        const QString &p = decoded.at(i);
        if (p == QLatin1String("root") || p == QLatin1String("modules") || p == QLatin1String("install")) {
            start = i;
            break;
        }
    }
    if (start < 0)
        return QString();

    QStringList kept;
    for (qsizetype i = start; i < decoded.size(); ++i) {
        const QString &p = decoded.at(i);
        if (p.isEmpty()) {
            if (i == decoded.size() - 1)
                return QString(); // names a folder, not a file
            continue;             // "a//b" is "a/b" to the file system
        }
        if (p == QLatin1String(".") || p == QLatin1String("..") || p.contains(QLatin1Char('/'))
            || p.contains(QLatin1Char('\\')) || p.contains(QChar(0)))
            return QString();
        kept.append(p);
    }
    return QLatin1Char('/') + kept.join(QLatin1Char('/'));
}
