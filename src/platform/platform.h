#pragma once
// Operating-system services behind one header; one implementation file per OS.

#include <QString>
#include <QStringList>
#include <QUrl>

namespace platform {

// Single-instance guard. Returns true when this process now holds the guard;
// false when another instance holds it (or the guard cannot be made). The guard
// lives until the process ends, however it ends.
bool acquireInstanceGuard(const QString &name);

// Opens a URL with the desktop's handler; falls back to xdg-open when the
// platform plugin cannot open anything (offscreen). Returns whether a start was made.
bool openUrl(const QUrl &url);

// Starts a program detached from Orvo, with no inherited descriptors beyond 0-2.
// Returns false when it could not be started.
bool startDetached(const QString &program, const QStringList &arguments,
                   const QString &workingDirectory = QString());

// Starts `path` with `arguments` elevated (pkexec on Linux), passing the
// display environment through so it can reach the user's desktop.
bool startElevated(const QString &path, const QStringList &arguments);

// Marks every descriptor above 2 close-on-exec. For QProcess::setChildProcessModifier.
void closeInheritedDescriptors();

// The Windows version code in the enumeration where XP is 48; 0 elsewhere.
int osVersionCode();

// Suffix of executables: ".exe" on Windows, empty on Linux.
QString executableSuffix();

// Ends the process at once with `status`, without unwinding or running destructors.
[[noreturn]] void exitNow(int status);

void sleepMs(int milliseconds);

// The folder Orvo keeps config.ini, the document root, the staging folder and
// the setup program in: the executable's folder when it is writable, otherwise a
// per-user copy seeded from it.
QString applicationFolder();

// Resolves a possibly relative path against applicationFolder().
QString resolveAppPath(const QString &path);

// The executable's own folder (catalogues, the elevated copy, the boot loader).
QString executableFolder();

// True when a display server can be reached (X11 or Wayland).
bool hasDisplay();

} // namespace platform
