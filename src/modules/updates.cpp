#include "modules/updates.h"

#include <QSettings>

Updates::Updates(QSettings *, QObject *parent) : QObject(parent) {}
Updates::~Updates() = default;

QByteArray Updates::check4Updates(const ParameterMap &) { return QByteArray(); }
QByteArray Updates::startUpdating(const ParameterMap &) { return QByteArray(); }
QByteArray Updates::getUpdateStatus() { return QByteArray(); }
