#include "smtpsserver.h"

#include <QDir>
#include <QFile>
#include <QProcess>

bool SmtpsServer::start(const QString &user, const QString &password)
{
    const QString cert = dir.filePath(QStringLiteral("cert.pem"));
    const QString key = dir.filePath(QStringLiteral("key.pem"));
    const int made = QProcess::execute(QStringLiteral("openssl"),
                                       {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                                        QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                                        QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                                        QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert,
                                        QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                                        QStringLiteral("/CN=127.0.0.1")});
    if (made != 0)
        return false;
    listenPort = freeLoopbackPort();
    const QString ready = proc.startPython(
        QStringLiteral("smtps_server.py"),
        {QStringLiteral("--port"), QString::number(listenPort), QStringLiteral("--cert"), cert, QStringLiteral("--key"),
         key, QStringLiteral("--user"), user, QStringLiteral("--password"), password, QStringLiteral("--maildir"),
         dir.filePath(QStringLiteral("mail"))},
        QStringLiteral("READY"), 20000);
    return !ready.isEmpty();
}

int SmtpsServer::messageCount() const
{
    return static_cast<int>(
        QDir(dir.filePath(QStringLiteral("mail"))).entryList({QStringLiteral("*.eml")}, QDir::Files).size());
}

QByteArray SmtpsServer::message(int n) const
{
    QFile f(dir.filePath(QStringLiteral("mail/%1.eml").arg(n, 4, 10, QLatin1Char('0'))));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString SmtpsServer::envelope(int n) const
{
    QFile f(dir.filePath(QStringLiteral("mail/%1.env").arg(n, 4, 10, QLatin1Char('0'))));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}
