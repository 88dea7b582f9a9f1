#pragma once

#include "http/parametermap.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

// The contact e-mail: rate-limited, written to a message file and handed to curl.
class Email : public QObject
{
    Q_OBJECT
public:
    // configPath: config.ini, whose group "email" holds the SMTP settings
    // ("smtpHost", "smtpPort" (default 465), "user", "password", "recipient").
    // The message file and the error log are kept in the same folder.
    Email(const QString &configPath, QObject *parent = nullptr);

    QByteArray sendEmail(const ParameterMap &params);

    // Writes `text` to "emailError.txt", replacing what it held.
    void writeEmailError(const QString &text) const;

    QString messageFilePath() const;
    QString errorFilePath() const;

    // The source of "now" for the rate limit; tests replace it to move through
    // the 15-minute window without waiting.
    static std::function<QDateTime()> clock;
    // Successful sends since the process started.
    static int sendCount();
    // For tests that need a fresh run.
    static void resetSendCount();

    // The seven form fields taken from the "json" text, by position; empty when
    // the text does not hold seven of them.
    static QStringList parseFields(const QByteArray &json);
    // The message file: CR LF after the first line, a lone CR after every other.
    static QByteArray composeMessage(const QStringList &fields);

private:
    QString configPath;
    QString folder;
};
