#include "modules/modulesmngr.h"

#include "platform/platform.h"

ModulesMngr::ModulesMngr(const QString &path, QObject *parent)
    : QObject(parent), docRoot(platform::resolveAppPath(path))
{
}

QByteArray ModulesMngr::getListOfInstalledModules() { return QByteArray(); }
