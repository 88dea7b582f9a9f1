#include "orvoinstance.h"

#include "fixtureprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <signal.h>
#include <sys/prctl.h>

namespace {

void copyTree(const QString &from, const QString &to)
{
    QDir().mkpath(to);
    QDirIterator it(from, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString target = to + QLatin1Char('/') + QDir(from).relativeFilePath(it.filePath());
        if (it.fileInfo().isDir())
            QDir().mkpath(target);
        else
            QFile::copy(it.filePath(), target);
    }
}

} // namespace

OrvoInstance::OrvoInstance()
{
    listenPort = freeLoopbackPort();
    QFile::copy(QStringLiteral(ORVO_BINARY), dir.path() + QStringLiteral("/orvo"));
    QDir().mkpath(dir.path() + QStringLiteral("/home/.config"));
    QDir().mkpath(dir.path() + QStringLiteral("/runtime"));
    QFile::setPermissions(dir.path() + QStringLiteral("/runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir().mkpath(dir.path() + QStringLiteral("/fakebin"));
    QDir().mkpath(dir.path() + QStringLiteral("/calls"));
    for (const char *name : {"xdg-open", "pkexec", "Bootloader"})
        writeFake(QString::fromLatin1(name));
    writeDocFile(QStringLiteral("index.html"), "<!doctype html><title>Orvo</title><p>Orvo test page</p>\n");

    config.insert(QStringLiteral("listener/port"), QString::number(listenPort));
    config.insert(QStringLiteral("listener/host"), QStringLiteral("127.0.0.1"));
    config.insert(QStringLiteral("docroot/path"), QStringLiteral("www"));
    config.insert(QStringLiteral("updates/updateServer"), QStringLiteral("http://127.0.0.1:9/"));
}

OrvoInstance::~OrvoInstance()
{
    if (proc && proc->state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(proc->processId()), SIGKILL);
        proc->waitForFinished(5000);
    }
}

void OrvoInstance::writeFake(const QString &name)
{
    const QString path = dir.path() + QStringLiteral("/fakebin/") + name;
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write("#!/bin/sh\nIFS=\"$(printf '\\t')\"\nprintf '%s\\n' \"$*\" >> \"" + dir.path().toUtf8() + "/calls/"
            + name.toUtf8() + ".log\"\n");
    f.close();
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void OrvoInstance::setConfig(const QString &key, const QString &value)
{
    config.insert(key, value);
}

void OrvoInstance::writeConfig()
{
    QFile::remove(configPath());
    QSettings ini(configPath(), QSettings::IniFormat);
    for (auto it = config.cbegin(); it != config.cend(); ++it)
        ini.setValue(it.key(), it.value());
    ini.sync();
}

void OrvoInstance::useBundledDocroot()
{
    QDir(docroot()).removeRecursively();
    copyTree(QStringLiteral(ORVO_SOURCE_DIR "/www"), docroot());
}

void OrvoInstance::writeDocFile(const QString &relativePath, const QByteArray &content)
{
    const QString path = docroot() + QLatin1Char('/') + relativePath;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(content);
}

void OrvoInstance::setEnv(const QString &name, const QString &value)
{
    extraEnv.insert(name, value);
}

QProcess *OrvoInstance::startRaw(const QStringList &arguments)
{
    auto p = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("HOME"), dir.path() + QStringLiteral("/home"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path() + QStringLiteral("/runtime"));
    env.insert(QStringLiteral("PATH"), dir.path() + QStringLiteral("/fakebin:") + env.value(QStringLiteral("PATH")));
    for (auto it = extraEnv.cbegin(); it != extraEnv.cend(); ++it)
        env.insert(it.key(), it.value());
    p->setProcessEnvironment(env);
    p->setWorkingDirectory(dir.path());
    p->setProgram(dir.path() + QStringLiteral("/orvo"));
    // An orvo must not outlive a test that crashed or was killed.
    p->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    p->setArguments(arguments);
    p->start();
    p->waitForStarted(5000);
    return p.release();
}

bool OrvoInstance::start(const QStringList &arguments)
{
    writeConfig();
    out.clear();
    err.clear();
    if (proc && proc->state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(proc->processId()), SIGKILL);
        proc->waitForFinished(5000);
    }
    proc.reset(startRaw(arguments));
    QProcess *p = proc.get();
    QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired() && p->state() == QProcess::Running) {
        p->waitForReadyRead(100);
        out += p->readAllStandardOutput();
        if (out.contains("listening on http://127.0.0.1:"))
            return true;
    }
    err += p->readAllStandardError();
    return false;
}

int OrvoInstance::stop(int timeoutMs)
{
    if (!proc)
        return -1;
    if (proc->state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(proc->processId()), SIGTERM);
        if (!proc->waitForFinished(timeoutMs))
            return -1;
    }
    return proc->exitStatus() == QProcess::NormalExit ? proc->exitCode() : -1;
}

QByteArray OrvoInstance::standardError()
{
    if (proc)
        err += proc->readAllStandardError();
    return err;
}

QByteArray OrvoInstance::standardOutput()
{
    if (proc)
        out += proc->readAllStandardOutput();
    return out;
}

QStringList OrvoInstance::fakeCalls(const QString &program) const
{
    QFile f(dir.path() + QStringLiteral("/calls/") + program + QStringLiteral(".log"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

std::unique_ptr<httplib::Client> OrvoInstance::client(int timeoutSec) const
{
    auto c = std::make_unique<httplib::Client>("127.0.0.1", listenPort);
    c->set_read_timeout(timeoutSec, 0);
    c->set_connection_timeout(5, 0);
    return c;
}

QByteArray OrvoInstance::ajax(const QByteArray &query, int *status) const
{
    auto c = client();
    auto res = c->Get(("/ajax.html?" + query).toStdString());
    if (status)
        *status = res ? res->status : -1;
    if (!res)
        return QByteArray("<no response>");
    return QByteArray::fromStdString(res->body);
}
