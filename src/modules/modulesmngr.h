#pragma once

#include <QByteArray>
#include <QFileInfo>
#include <QObject>

// Lists the web modules installed below the document root.
class ModulesMngr : public QObject
{
    Q_OBJECT
public:
    ModulesMngr(const QString &path, QObject *parent = nullptr);

    QByteArray getListOfInstalledModules();

private:
    QFileInfo docRoot;
};
