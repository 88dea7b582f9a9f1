#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <httplib.h>

#include <memory>

// The real orvo binary, copied into a temporary folder with its own config.ini
// and document root, a free port, the offscreen platform, its own per-user
// folders, and fake xdg-open, pkexec and Bootloader programs first on PATH
// that record their arguments.
class OrvoInstance
{
public:
    OrvoInstance();
    ~OrvoInstance();
    OrvoInstance(const OrvoInstance &) = delete;
    OrvoInstance &operator=(const OrvoInstance &) = delete;

    QString folder() const { return dir.path(); }
    QString configPath() const { return dir.path() + QStringLiteral("/config.ini"); }
    QString docroot() const { return dir.path() + QStringLiteral("/www"); }
    QString configHome() const { return dir.path() + QStringLiteral("/home/.config"); }
    int port() const { return listenPort; }

    // config.ini entries ("group/key" -> value) written before start, on top of the defaults.
    void setConfig(const QString &key, const QString &value);
    // Writes config.ini now (start() does it too).
    void writeConfig();
    // Copies the repository's www/ as the document root (default: a single index.html).
    void useBundledDocroot();
    // A file below the document root.
    void writeDocFile(const QString &relativePath, const QByteArray &content);
    // Extra environment for the process.
    void setEnv(const QString &name, const QString &value);

    // Starts orvo and waits until it listens. Returns false on failure.
    bool start(const QStringList &arguments = {});
    // Starts another process in the same folder and environment without waiting
    // for it to listen (second instance, missing config). The caller owns it.
    QProcess *startRaw(const QStringList &arguments = {});
    // Sends SIGTERM and waits; returns the exit code, or -1.
    int stop(int timeoutMs = 10000);
    QProcess &process() { return *proc; }
    QByteArray standardError();
    QByteArray standardOutput();

    // What a fake program (xdg-open, pkexec, Bootloader) was started with: one
    // line per start, the arguments separated by a tab.
    QStringList fakeCalls(const QString &program) const;

    std::unique_ptr<httplib::Client> client(int timeoutSec = 30) const;
    // GET ajax.html?func=... with the given (already percent-encoded) query rest.
    QByteArray ajax(const QByteArray &query, int *status = nullptr) const;

private:
    void writeFake(const QString &name);

    QTemporaryDir dir;
    std::unique_ptr<QProcess> proc;
    QMap<QString, QString> config;
    QMap<QString, QString> extraEnv;
    int listenPort = 0;
    QByteArray out;
    QByteArray err;
};
