#include "fixtureprocess.h"

#include <QDeadlineTimer>
#include <QTcpServer>

#include <signal.h>
#include <sys/prctl.h>

FixtureProcess::~FixtureProcess()
{
    stop();
}

QString FixtureProcess::start(const QString &program, const QStringList &arguments, const QString &readyMarker,
                              int timeoutMs)
{
    proc.setProcessChannelMode(QProcess::SeparateChannels);
    proc.setProgram(program);
    proc.setArguments(arguments);
    // A fixture must not outlive a test that crashed or was killed.
    proc.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    proc.start();
    if (!proc.waitForStarted(timeoutMs))
        return QString();
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        while (proc.canReadLine()) {
            const QByteArray line = proc.readLine();
            if (line.contains(readyMarker.toUtf8()))
                return QString::fromUtf8(line).trimmed();
        }
        if (proc.state() != QProcess::Running)
            return QString();
        proc.waitForReadyRead(static_cast<int>(std::max<qint64>(1, std::min<qint64>(200, deadline.remainingTime()))));
    }
    return QString();
}

QString FixtureProcess::startPython(const QString &script, const QStringList &arguments, const QString &readyMarker,
                                    int timeoutMs)
{
    return start(QStringLiteral(ORVO_SYSTEM_PYTHON),
                 QStringList{QStringLiteral("-u"), QStringLiteral(ORVO_FIXTURES_DIR "/") + script} + arguments,
                 readyMarker, timeoutMs);
}

void FixtureProcess::stop()
{
    if (proc.state() == QProcess::NotRunning)
        return;
    ::kill(static_cast<pid_t>(proc.processId()), SIGTERM);
    if (!proc.waitForFinished(3000)) {
        ::kill(static_cast<pid_t>(proc.processId()), SIGKILL);
        proc.waitForFinished(3000);
    }
}

bool FixtureProcess::isRunning() const
{
    return proc.state() == QProcess::Running;
}

QByteArray FixtureProcess::output()
{
    buffered += proc.readAllStandardOutput();
    return buffered;
}

int freeLoopbackPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    return server.serverPort();
}
