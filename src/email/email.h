#pragma once

#include "http/parametermap.h"

#include <QByteArray>
#include <QObject>
#include <QString>

// The contact e-mail: rate-limited, written to a message file and handed to curl.
class Email : public QObject
{
    Q_OBJECT
public:
    // configPath: config.ini, whose group "email" holds the SMTP settings.
    Email(const QString &configPath, QObject *parent = nullptr);

    QByteArray sendEmail(const ParameterMap &params);

private:
    QString configPath;
};
