#include "tray/traymenu.h"

#include "platform/platform.h"

#include <QApplication>
#include <QSettings>

#include <cstdio>

TrayMenu::TrayMenu(QApplication *application, QSettings *settings) : application(application), settings(settings)
{
    settings->beginGroup(QStringLiteral("listener"));
    listeningPort = settings->value(QStringLiteral("port"), 80).toInt();
    settings->endGroup();
}

void TrayMenu::showBindErrorMessage()
{
    std::fprintf(stderr, "Error!\nCannot bind on port: %d. Port already in use!\n", listeningPort);
    std::fflush(stderr);
}

void TrayMenu::showRunningMessage()
{
    std::fprintf(stderr, "Program is running.\nProgram is listening on port: %d.\n", listeningPort);
    std::fflush(stderr);
}

void TrayMenu::slotLaunchBrowser()
{
    platform::openUrl(QUrl(QStringLiteral("http://127.0.0.1:") + QString::number(listeningPort)));
}

void TrayMenu::slotExitApp()
{
    Q_EMIT exitApp();
}
