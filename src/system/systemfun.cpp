#include "system/systemfun.h"

SystemFun::SystemFun(QObject *parent) : QObject(parent) {}

QByteArray SystemFun::getGeneralInfo() { return QByteArray(); }
QStringList SystemFun::bootloaderArguments() { return {}; }
QByteArray SystemFun::htmlToPdf(const QString &) { return QByteArray(); }
QByteArray SystemFun::runFirmwareUpdater() { return QByteArray(); }
QByteArray SystemFun::openFtpInExplorer(const ParameterMap &) { return QByteArray(); }
