#include "platform/platform.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace platform {

bool acquireInstanceGuard(const QString &name)
{
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty() || !QFileInfo(dir).isDir())
        dir = QDir::tempPath() + QStringLiteral("/orvo-") + QString::number(getuid());
    QDir().mkpath(dir);
    const QByteArray path = QFile::encodeName(dir + QLatin1Char('/') + name + QStringLiteral(".lock"));
    // Never closed: the kernel drops the lock with the process, even after SIGKILL.
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    return true;
}

void closeInheritedDescriptors()
{
    // close_range with CLOEXEC keeps QProcess' own start-up pipe working until exec.
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    const long maxFd = std::min<long>(::sysconf(_SC_OPEN_MAX), 65536);
    for (int fd = 3; fd < maxFd; ++fd) {
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0)
            ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

namespace {

QString findProgram(const QString &program)
{
    if (program.contains(QLatin1Char('/')))
        return QFileInfo(program).isExecutable() ? program : QString();
    return QStandardPaths::findExecutable(program);
}

} // namespace

bool startDetached(const QString &program, const QStringList &arguments, const QString &workingDirectory)
{
    const QString resolved = findProgram(program);
    if (resolved.isEmpty())
        return false;

    // Everything the child needs is prepared before fork: after it only
    // async-signal-safe calls are made.
    std::vector<QByteArray> storage;
    storage.push_back(QFile::encodeName(resolved));
    for (const QString &a : arguments)
        storage.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    const QByteArray wd = QFile::encodeName(workingDirectory);

    int pipeFd[2];
    if (::pipe2(pipeFd, O_CLOEXEC) != 0)
        return false;

    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipeFd[0]);
        ::close(pipeFd[1]);
        return false;
    }
    if (child == 0) {
        ::setsid();
        const pid_t grandChild = ::fork();
        if (grandChild != 0)
            ::_exit(grandChild < 0 ? 1 : 0);
        if (!wd.isEmpty() && ::chdir(wd.constData()) != 0)
            ::_exit(127);
        ::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
        ::fcntl(pipeFd[1], F_SETFD, FD_CLOEXEC);
        ::execv(argv[0], argv.data());
        const char failed = 1;
        [[maybe_unused]] auto n = ::write(pipeFd[1], &failed, 1);
        ::_exit(127);
    }
    ::close(pipeFd[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // The pipe closes on a successful exec (CLOEXEC) and carries one byte on failure.
    char buf = 0;
    ssize_t n;
    do {
        n = ::read(pipeFd[0], &buf, 1);
    } while (n < 0 && errno == EINTR);
    ::close(pipeFd[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

bool openUrl(const QUrl &url)
{
    if (QDesktopServices::openUrl(url))
        return true;
    return startDetached(QStringLiteral("xdg-open"), {url.toString()});
}

bool startElevated(const QString &path, const QStringList &arguments)
{
    QStringList args{QStringLiteral("env")};
    for (const char *name : {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"}) {
        const QByteArray value = qgetenv(name);
        if (!value.isEmpty())
            args << QString::fromLatin1(name) + QLatin1Char('=') + QString::fromLocal8Bit(value);
    }
    args << path << arguments;
    return startDetached(QStringLiteral("pkexec"), args);
}

int osVersionCode()
{
    return 0;
}

QString executableSuffix()
{
    return QString();
}

void exitNow(int status)
{
    std::_Exit(status);
}

void sleepMs(int milliseconds)
{
    QThread::msleep(static_cast<unsigned long>(milliseconds));
}

QString executableFolder()
{
    return QCoreApplication::applicationDirPath();
}

namespace {

bool copyTree(const QString &from, const QString &to, bool overwrite)
{
    QDir src(from);
    if (!src.exists())
        return false;
    if (!QDir().mkpath(to))
        return false;
    bool ok = true;
    for (const QFileInfo &fi : src.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
        const QString target = to + QLatin1Char('/') + fi.fileName();
        if (fi.isDir()) {
            ok = copyTree(fi.absoluteFilePath(), target, overwrite) && ok;
        } else {
            if (QFileInfo::exists(target)) {
                if (!overwrite)
                    continue;
                QFile::remove(target);
            }
            ok = QFile::copy(fi.absoluteFilePath(), target) && ok;
        }
    }
    return ok;
}

QString computeApplicationFolder()
{
    const QString exeDir = executableFolder();
    if (QFileInfo(exeDir).isWritable())
        return exeDir;

    // A system-wide install is read-only for users: work from a per-user copy.
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (dataHome.isEmpty())
        dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    const QString folder = dataHome + QStringLiteral("/orvo");
    QDir().mkpath(folder);

    const QString stamp = folder + QStringLiteral("/.installed-version");
    QFile stampFile(stamp);
    QByteArray seeded;
    if (stampFile.open(QIODevice::ReadOnly))
        seeded = stampFile.readAll().trimmed();
    stampFile.close();
    const QByteArray current = QByteArrayLiteral(ORVO_VERSION_TEXT);
    if (seeded != current) {
        if (!QFileInfo::exists(folder + QStringLiteral("/config.ini")))
            QFile::copy(exeDir + QStringLiteral("/config.ini"), folder + QStringLiteral("/config.ini"));
        // Bundled pages are refreshed; modules the user installed are kept.
        copyTree(exeDir + QStringLiteral("/www"), folder + QStringLiteral("/www"), true);
        if (stampFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
            stampFile.write(current);
    }
    return folder;
}

} // namespace

QString applicationFolder()
{
    static const QString folder = computeApplicationFolder();
    return folder;
}

QString resolveAppPath(const QString &path)
{
    if (QDir::isRelativePath(path))
        return QDir::cleanPath(applicationFolder() + QLatin1Char('/') + path);
    return path;
}

bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

} // namespace platform
