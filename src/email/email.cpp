#include "email/email.h"

Email::Email(const QString &configPath, QObject *parent) : QObject(parent), configPath(configPath) {}

QByteArray Email::sendEmail(const ParameterMap &) { return QByteArray(); }
