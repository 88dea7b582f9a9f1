#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// A helper process started by a test (a Modbus slave, an update server, socat).
// It is waited for until it says it is ready, and stopped by its own PID when
// the object goes away.
class FixtureProcess
{
public:
    FixtureProcess() = default;
    ~FixtureProcess();
    FixtureProcess(const FixtureProcess &) = delete;
    FixtureProcess &operator=(const FixtureProcess &) = delete;

    // Starts `program` and waits up to timeoutMs for a line on standard output
    // that contains `readyMarker`. Returns that line, or an empty text on failure.
    QString start(const QString &program, const QStringList &arguments, const QString &readyMarker,
                  int timeoutMs = 10000);
    // Starts a script of tests/fixtures with the system Python.
    QString startPython(const QString &script, const QStringList &arguments, const QString &readyMarker,
                        int timeoutMs = 10000);
    void stop();
    bool isRunning() const;
    QProcess &process() { return proc; }
    // Everything read from standard output so far (after the ready line, too).
    QByteArray output();

private:
    QProcess proc;
    QByteArray buffered;
};

// A free TCP port on 127.0.0.1 at the time of the call.
int freeLoopbackPort();
