#pragma once

#include "http/parametermap.h"

#include <QByteArray>
#include <QFileInfo>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <memory>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class QSettings;

// Asks the update server for new modules, downloads them into a staging folder
// beside the document root and copies them into the document root when every
// file has arrived.
//
// Threads: the object and its two network managers live on the main thread,
// where the reply slots run. "startUpdating", "getUpdateStatus" and
// "check4Updates" arrive on the HTTP server's worker threads. The run's state
// and every write below the staging folder are guarded by `mutex`; each
// accepted start begins a new generation, and replies of an older generation
// are dropped. A worker never waits for the main thread.
class Updates : public QObject
{
    Q_OBJECT
public:
    Updates(QSettings *settings, QObject *parent = nullptr);
    ~Updates() override;

    QByteArray check4Updates(const ParameterMap &params);
    QByteArray startUpdating(const ParameterMap &params);
    QByteArray getUpdateStatus();

    // The path below the staging folder (and the document root) where the file
    // at `url` belongs: "/" + the pieces from the first "root", "modules" or
    // "install" piece on. Empty when there is no such piece or when a piece
    // could lead out of the staging folder ("..", ".", a decoded "/" or "\",
    // an empty last piece), and for anything but an http or https address.
    static QString relativePathFromUrl(const QString &url);

    // A module list or a file list: true and its elements as texts when `json`
    // is a JSON array, false otherwise (`items` then unchanged).
    static bool parseList(const QByteArray &json, QStringList *items);

    // A list or file transfer that delivers nothing for this long stops the run.
    void setTransferTimeout(int milliseconds) { transferTimeoutMs = milliseconds; }

    static constexpr int checkTimeoutMs = 10000;
    // Marks a staging folder as made by Orvo; only such a folder is ever deleted.
    static constexpr const char *stagingMarkerName = ".orvo-staging";

public Q_SLOTS:
    void fileListDownloadFinished(QNetworkReply *reply);
    void fileDownloadFinished(QNetworkReply *reply);

private:
    // All of these run on the main thread with `mutex` held.
    void setStatus(const QByteArray &text);
    void requestNextModule();
    void requestNextFile();
    bool openStagingFile(const QString &relativePath);
    bool writeToStagingFile(const QByteArray &data);
    void closeStagingFile();
    void stopWithStatus(const QByteArray &text);
    bool isCurrent(QNetworkReply *reply) const;

    void beginRun(quint64 runGeneration);
    void fileDataArrived(QNetworkReply *reply);

    static bool removeDir(const QString &path);
    static bool copyFolder(const QString &source, const QString &target);
    // Deletes the staging folder if Orvo made it and makes a fresh one.
    bool resetStagingFolder();

    QString updateServer;
    QNetworkAccessManager *listManager = nullptr;
    QNetworkAccessManager *fileManager = nullptr;
    QFileInfo docRoot;
    QFileInfo tmpDir;

    QMutex mutex;
    QStringList modulesToUpdate;
    QStringList filesToDownload;
    int inProgress = 0;
    QByteArray updateStatus;
    quint64 generation = 0;
    std::unique_ptr<QFile> stagingFile;
    bool writeFailed = false;

    // Main thread only: the one outstanding request of the chain.
    QPointer<QNetworkReply> currentReply;
    int transferTimeoutMs = 60000;
};
