#pragma once
// Helpers shared by the register tests that run the real binary against a slave.

#include "fixtures/modbus_slave.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

// The requests the slave has served since its log was last cleared, as
// (function, address, quantity) triples.
struct SlaveRequest {
    int fn = 0;
    int addr = 0;
    int qty = 0;
    bool operator==(const SlaveRequest &) const = default;
};

inline QList<SlaveRequest> slaveLog(ModbusSlave &slave)
{
    const QByteArray reply = slave.command("log");
    QList<SlaveRequest> requests;
    if (!reply.startsWith("OK "))
        return requests;
    for (const QJsonValue &v : QJsonDocument::fromJson(reply.mid(3)).array()) {
        const QJsonObject o = v.toObject();
        requests.append({o.value(QLatin1String("fn")).toInt(), o.value(QLatin1String("addr")).toInt(),
                         o.value(QLatin1String("qty")).toInt()});
    }
    return requests;
}

// Registers as the slave holds them: "get ADDR N" or "get32 ADDR N".
inline QList<qint64> slaveRegisters(ModbusSlave &slave, const QByteArray &command)
{
    QList<qint64> values;
    const QByteArray reply = slave.command(command);
    if (!reply.startsWith("OK"))
        return values;
    for (const QByteArray &word : reply.mid(2).simplified().split(' '))
        if (!word.isEmpty())
            values.append(word.toLongLong());
    return values;
}

// Runs mbpoll once against 127.0.0.1:port with 0-based references and returns
// the values it printed (the first number of each "[ref]: value" line), or,
// for a write, an empty list. `ok` tells whether it ended with status 0.
inline QStringList runMbpoll(int port, const QStringList &arguments, bool *ok)
{
    QProcess p;
    p.start(QStringLiteral("mbpoll"),
            QStringList{QStringLiteral("-m"), QStringLiteral("tcp"), QStringLiteral("-p"), QString::number(port),
                        QStringLiteral("-0"), QStringLiteral("-1"), QStringLiteral("-o"), QStringLiteral("2")}
                + arguments);
    const bool finished = p.waitForFinished(15000);
    *ok = finished && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    QStringList values;
    static const QRegularExpression line(QStringLiteral("^\\[(\\d+)\\]:\\s+(\\S+)"), QRegularExpression::MultilineOption);
    auto it = line.globalMatch(QString::fromUtf8(p.readAllStandardOutput()));
    while (it.hasNext())
        values.append(it.next().captured(2));
    return values;
}
