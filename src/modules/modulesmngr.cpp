#include "modules/modulesmngr.h"

#include "platform/platform.h"

#include <QDir>

namespace {

// The reply is 8-bit text: every character outside Latin-1 becomes one "?",
// also one that takes two UTF-16 units.
QByteArray toLatin1Text(const QString &name)
{
    QByteArray out;
    out.reserve(name.size());
    for (const char32_t c : name.toUcs4())
        out.append(c <= 0xff ? static_cast<char>(c) : '?');
    return out;
}

} // namespace

ModulesMngr::ModulesMngr(const QString &path, QObject *parent)
    : QObject(parent), docRoot(platform::resolveAppPath(path))
{
}

QByteArray ModulesMngr::getListOfInstalledModules()
{
    // Fresh information every time: modules come and go while Orvo runs.
    const QFileInfo root(docRoot.absoluteFilePath());
    if (!root.exists() || !root.isDir())
        return QByteArrayLiteral("{\"modules\":{}}");
    const QFileInfo modulesDir(root.absoluteFilePath() + QStringLiteral("/modules"));
    if (!modulesDir.exists() || !modulesDir.isDir())
        return QByteArrayLiteral("{\"modules\":{}}");

    const QDir dir(modulesDir.absoluteFilePath());
    QByteArray answer = "{";
    bool any = false;
    for (const QFileInfo &module : dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Unsorted)) {
        answer += '"' + toLatin1Text(module.fileName()) + "\":" + getModuleFiles(module.absoluteFilePath()) + ',';
        any = true;
    }
    if (any)
        answer.chop(1);
    answer += '}';
    return answer;
}

QByteArray ModulesMngr::getModuleFiles(const QString &moduleDir)
{
    return '{' + getFilesByExtension(moduleDir, QStringLiteral("html")) + ','
           + getFilesByExtension(moduleDir, QStringLiteral("css")) + ','
           + getFilesByExtension(moduleDir, QStringLiteral("js")) + '}';
}

QByteArray ModulesMngr::getFilesByExtension(const QString &moduleDir, const QString &extension)
{
    // Name filters match the whole name and, without QDir::CaseSensitive, ignore
    // letter case: "INDEX.HTML" is kept, "index.htm" and "index.html.bak" are not.
    const QDir dir(moduleDir, QStringLiteral("*.") + extension, QDir::Unsorted, QDir::Files);
    QByteArray member = '"' + extension.toLatin1() + "\":[";
    bool any = false;
    for (const QString &name : dir.entryList()) {
        member += '"' + toLatin1Text(name) + "\",";
        any = true;
    }
    if (any)
        member.chop(1);
    member += ']';
    return member;
}
