#include "app/creator.h"
#include "platform/platform.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QSettings>
#include <QSocketNotifier>

#include <clocale>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    const char c = 1;
    [[maybe_unused]] auto n = ::write(signalPipe[1], &c, 1);
}

// SIGINT and SIGTERM take the tray's Quit path: the listener closes, then the
// event loop ends with 0. The handlers are installed before anything listens, so
// a signal that arrives during start-up waits in the pipe for the event loop.
bool catchTerminationSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    return true;
}

void routeTerminationSignals(Creator *creator)
{
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, creator);
    QObject::connect(notifier, &QSocketNotifier::activated, creator, [creator, notifier] {
        char c;
        [[maybe_unused]] auto n = ::read(signalPipe[0], &c, 1);
        notifier->setEnabled(false);
        creator->slotExitApp();
    });
}

} // namespace

int main(int argc, char *argv[])
{
    // Without a display Orvo still serves, on the offscreen platform.
    if (!platform::hasDisplay() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // A peer that goes away mid-answer must not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/tray_icon2")));
    // Numbers on the wire never follow the user's locale.
    std::setlocale(LC_NUMERIC, "C");

    const QStringList args = QCoreApplication::arguments();
    const bool quietStart = args.size() > 1 && args.at(1) == QLatin1String("-r");

    QCoreApplication::setOrganizationName(QStringLiteral("Brask"));
    QCoreApplication::setApplicationName(QStringLiteral("Orvo"));
    QApplication::setQuitOnLastWindowClosed(false);

    const QString configPath = platform::applicationFolder() + QStringLiteral("/config.ini");
    if (!QFileInfo::exists(configPath))
        qFatal("Cannot find config file %s", configPath.toLocal8Bit().constData());

    if (!platform::acquireInstanceGuard(QStringLiteral("OrvoUniqueMutexName"))) {
        QSettings config(configPath, QSettings::IniFormat);
        const int port = config.value(QStringLiteral("listener/port")).toInt();
        platform::openUrl(QUrl(QStringLiteral("http://127.0.0.1:") + QString::number(port)));
        platform::exitNow(0);
    }

    const bool signalsCaught = catchTerminationSignals();
    auto *creator = new Creator(configPath, quietStart, &app);
    if (signalsCaught)
        routeTerminationSignals(creator);
    return app.exec();
}
