#include "app/creator.h"

#include "http/httplistener.h"
#include "http/staticfilecontroller.h"
#include "platform/platform.h"
#include "tray/traymenu.h"
#include "web/myhttprequesthandler.h"

#include <QApplication>
#include <QFile>
#include <QSettings>

Creator::Creator(const QString &configPath, bool quietStart, QObject *parent) : QObject(parent)
{
    auto *docrootSettings = new QSettings(configPath, QSettings::IniFormat, this);
    docrootSettings->beginGroup(QStringLiteral("docroot"));
    auto *staticFileController = new StaticFileController(docrootSettings, this);

    auto *listenerSettings = new QSettings(configPath, QSettings::IniFormat, this);
    listenerSettings->beginGroup(QStringLiteral("listener"));

    requestHandler = new MyHttpRequestHandler(staticFileController, docrootSettings, this);
    // Connected before the listener starts: a hand-over asked for by a request
    // that arrives while the rest is still being built must not be lost.
    QObject::connect(requestHandler, &MyHttpRequestHandler::restartAppAsAdmin, this, &Creator::slotRestartAppAsAdmin);
    QObject::connect(requestHandler, &MyHttpRequestHandler::runAutoUpdate, this, &Creator::slotRunAutoUpdate);
    listener = new HttpListener(listenerSettings, requestHandler, this);

    auto *traySettings = new QSettings(configPath, QSettings::IniFormat, this);
    trayMenu = new TrayMenu(qobject_cast<QApplication *>(QCoreApplication::instance()), traySettings);

    if (!listener->isListening()) {
        trayMenu->showBindErrorMessage();
    } else if (!quietStart) {
        trayMenu->slotLaunchBrowser();
        trayMenu->showRunningMessage();
    }

    QObject::connect(trayMenu, &TrayMenu::exitApp, this, &Creator::slotExitApp);
}

void Creator::slotExitApp()
{
    delete listener;
    listener = nullptr;
    QCoreApplication::exit(0);
}

void Creator::slotRunAutoUpdate()
{
    delete listener;
    listener = nullptr;
    const QString setup = platform::applicationFolder() + QStringLiteral("/www/root/Orvo_setup")
                          + platform::executableSuffix();
    // A downloaded setup program carries no executable bit.
    QFile::setPermissions(setup, QFile::permissions(setup) | QFile::ExeOwner | QFile::ExeUser);
    platform::startElevated(setup, {QStringLiteral("-r")});
    platform::exitNow(12);
}

void Creator::slotRestartAppAsAdmin()
{
    delete listener;
    listener = nullptr;
    platform::startElevated(platform::executableFolder() + QStringLiteral("/Orvo_admin") + platform::executableSuffix(),
                            {QStringLiteral("-r")});
    platform::exitNow(12);
}
