#include "email/email.h"

#include "platform/platform.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QSettings>

#include <array>

namespace {

const QByteArray replyOk = QByteArrayLiteral("{\"status\":\"ok!\"}");
const QByteArray replyErr = QByteArrayLiteral("{\"status\":\"err!\"}");
const QByteArray replyParameterError = QByteArrayLiteral("{\"error\":\"Parameter error!\"}");
const QByteArray replyTooLong = QByteArrayLiteral("{\"error\":\"err2!\"}");

constexpr qint64 windowSeconds = 900;
constexpr int sendsPerRun = 3;
constexpr int curlTimeoutMs = 30000;

// Longest name, surname, e-mail, company, phone, active module and message, in UTF-16 units.
constexpr std::array<qsizetype, 7> fieldLimits{20, 30, 30, 50, 25, 20, 2000};

// One send at a time: the window check, the send and the count belong together,
// or two requests of the same moment would both pass and both count.
QMutex sendMutex;
int sends = 0;

} // namespace

std::function<QDateTime()> Email::clock = [] { return QDateTime::currentDateTime(); };

Email::Email(const QString &configPath, QObject *parent)
    : QObject(parent), configPath(configPath), folder(QFileInfo(configPath).absolutePath())
{
}

int Email::sendCount()
{
    const QMutexLocker lock(&sendMutex);
    return sends;
}

void Email::resetSendCount()
{
    const QMutexLocker lock(&sendMutex);
    sends = 0;
}

QString Email::messageFilePath() const
{
    return folder + QStringLiteral("/emailMessage.txt");
}

QString Email::errorFilePath() const
{
    return folder + QStringLiteral("/emailError.txt");
}

void Email::writeEmailError(const QString &text) const
{
    QFile file(errorFilePath());
    // The error text was read as Latin-1, so its bytes go back unchanged.
    if (file.open(QIODevice::ReadWrite | QIODevice::Truncate))
        file.write(text.toLatin1());
}

QStringList Email::parseFields(const QByteArray &json)
{
    // Pages encode the text twice, so that '%', '&', '=' and '+' survive the query.
    QString text = QString::fromUtf8(QByteArray::fromPercentEncoding(json));
    text.remove(QLatin1Char('{')).remove(QLatin1Char('}')).remove(QLatin1Char('"'));
    const QStringList items = text.split(QLatin1Char(','), Qt::KeepEmptyParts);
    if (items.size() < static_cast<qsizetype>(fieldLimits.size()))
        return {};
    QStringList fields;
    // Only the position counts; whatever follows the seventh item (text after a
    // comma in the message) is left out.
    for (qsizetype i = 0; i < static_cast<qsizetype>(fieldLimits.size()); ++i) {
        const QStringList pieces = items.at(i).split(QLatin1Char(':'), Qt::KeepEmptyParts);
        if (pieces.size() < 2)
            return {};
        fields << pieces.at(1);
    }
    return fields;
}

QByteArray Email::composeMessage(const QStringList &fields)
{
    const QString &name = fields.at(0);
    const QString &surname = fields.at(1);
    QString text = QStringLiteral("Subject: ") + name + QLatin1Char(' ') + surname + QStringLiteral(" sent a message.\r\n");
    const QStringList lines{
        QStringLiteral("MIME-Version: 1.0"),
        QStringLiteral("Content-Transfer-Encoding: 8bit"),
        QStringLiteral("Content-Type: text/plain;charset=utf-8"),
        QStringLiteral("Client name   ") + name,
        QStringLiteral("Client surname   ") + surname,
        QStringLiteral("Client email   ") + fields.at(2),
        QStringLiteral("Client company   ") + fields.at(3),
        QStringLiteral("Client phone   ") + fields.at(4),
        QStringLiteral("Client Orvo version   ") + QStringLiteral("0.2.04"),
        QStringLiteral("Client Orvo active module   ") + fields.at(5),
        QStringLiteral("Client message   "),
        fields.at(6),
    };
    for (const QString &line : lines)
        text += line + QLatin1Char('\r');
    return text.toUtf8();
}

QByteArray Email::sendEmail(const ParameterMap &params)
{
    QMutexLocker lock(&sendMutex);

    QSettings store(QStringLiteral("Brask"), QStringLiteral("Orvo"));
    const QDateTime requestTime = clock();

    const QDateTime last = store.value(QStringLiteral("time")).toDateTime();
    if (last.isValid()) {
        // The same second and a stored time in the future both let the request through.
        const qint64 s = last.secsTo(requestTime);
        if (s >= 1 && s < windowSeconds)
            return "{\"status\":\"time\",\"timeleft\":\"" + QByteArray::number(windowSeconds - s) + "\"}";
    }

    if (sends >= sendsPerRun) {
        lock.unlock();
        platform::sleepMs(1500);
        return replyOk;
    }

    if (!params.contains("json"))
        return replyParameterError;
    QStringList fields = parseFields(params.value("json"));
    if (fields.isEmpty())
        return replyParameterError;
    for (qsizetype i = 0; i < fields.size(); ++i) {
        if (fields.at(i).size() > fieldLimits[static_cast<size_t>(i)])
            return replyTooLong;
    }
    // JSON line-break escapes arrive as text; the message stays one line.
    fields[6].replace(QStringLiteral("\\n"), QStringLiteral(" "));

    QSettings config(configPath, QSettings::IniFormat);
    config.beginGroup(QStringLiteral("email"));
    const QString host = config.value(QStringLiteral("smtpHost")).toString();
    const QString port = config.value(QStringLiteral("smtpPort"), QStringLiteral("465")).toString();
    const QString user = config.value(QStringLiteral("user")).toString();
    const QString password = config.value(QStringLiteral("password")).toString();
    const QString recipient = config.value(QStringLiteral("recipient")).toString();
    config.endGroup();
    if (host.isEmpty() || user.isEmpty() || recipient.isEmpty()) {
        writeEmailError(QStringLiteral("The SMTP settings are missing: config.ini group \"email\" needs "
                                       "\"smtpHost\", \"user\", \"password\" and \"recipient\".\n"));
        return replyErr;
    }

    QFile message(messageFilePath());
    if (message.open(QIODevice::ReadWrite | QIODevice::Truncate)) {
        message.write(composeMessage(fields));
        message.flush();
    }
    message.close();

    // QProcess on a worker thread wants that thread's event dispatcher to exist.
    QEventLoop threadDispatcher;
    Q_UNUSED(threadDispatcher);

    QProcess curl;
    curl.setChildProcessModifier(platform::closeInheritedDescriptors);
    curl.setWorkingDirectory(folder);
    curl.setStandardOutputFile(QProcess::nullDevice());
    curl.setStandardInputFile(QProcess::nullDevice());
    curl.setProgram(QStringLiteral("curl"));
    curl.setArguments({QStringLiteral("--ssl-reqd"), QStringLiteral("-k"), QStringLiteral("--insecure"),
                       QStringLiteral("--url"), QStringLiteral("smtps://") + host + QLatin1Char(':') + port,
                       QStringLiteral("--mail-from"), user, QStringLiteral("--mail-rcpt"), recipient,
                       QStringLiteral("--user"), user + QLatin1Char(':') + password, QStringLiteral("-T"),
                       QStringLiteral("emailMessage.txt")});
    curl.start();

    QString reason;
    if (!curl.waitForStarted(10000)) {
        reason = QStringLiteral("curl could not be started: ") + curl.errorString();
    } else if (!curl.waitForFinished(curlTimeoutMs)) {
        curl.kill();
        curl.waitForFinished(5000);
        reason = QStringLiteral("curl did not finish within 30 s");
    } else if (curl.exitStatus() != QProcess::NormalExit) {
        reason = QStringLiteral("curl crashed");
    } else if (curl.exitCode() != 0) {
        reason = QStringLiteral("curl exited with status ") + QString::number(curl.exitCode());
    }

    QByteArray errorBytes = curl.readAllStandardError();
    const qsizetype nul = errorBytes.indexOf('\0');
    if (nul >= 0)
        errorBytes.truncate(nul);
    const QString errorText = QString::fromLatin1(errorBytes);

    const bool complained = errorText.contains(QStringLiteral("'curl'")) || errorText.contains(QStringLiteral("curl:"));
    if (complained || !reason.isEmpty()) {
        QString log = errorText;
        if (!reason.isEmpty()) {
            if (!log.isEmpty() && !log.endsWith(QLatin1Char('\n')))
                log += QLatin1Char('\n');
            log += reason + QLatin1Char('\n');
        }
        writeEmailError(log);
        return replyErr;
    }

    store.setValue(QStringLiteral("time"), requestTime);
    ++sends;
    store.setValue(QStringLiteral("how_many_email_send"), sends);
    store.sync();
    return replyOk;
}
