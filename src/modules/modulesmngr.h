#pragma once

#include <QByteArray>
#include <QFileInfo>
#include <QObject>

// Lists the web modules installed below the document root: every directory of
// "modules" with its html, css and js files. Reads the disk afresh on every
// call, so modules installed by an update show up in the next answer.
class ModulesMngr : public QObject
{
    Q_OBJECT
public:
    // `path` is the document root as config.ini gives it; a relative one is
    // taken from the application folder, not the working directory.
    ModulesMngr(const QString &path, QObject *parent = nullptr);

    // {"<module>":{"html":[...],"css":[...],"js":[...]},...}, "{}" when the
    // modules folder holds no module, {"modules":{}} when there is no such folder.
    QByteArray getListOfInstalledModules();

private:
    QByteArray getModuleFiles(const QString &moduleDir);
    QByteArray getFilesByExtension(const QString &moduleDir, const QString &extension);

    QFileInfo docRoot;
};
