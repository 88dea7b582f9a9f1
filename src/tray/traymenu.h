#pragma once

#include <QDialog>

class QApplication;
class QSettings;

// The tray icon with its menu and notifications. Never shown as a window.
class TrayMenu : public QDialog
{
    Q_OBJECT
public:
    TrayMenu(QApplication *application, QSettings *settings);

    void showBindErrorMessage();
    void showRunningMessage();

Q_SIGNALS:
    void exitApp();

public Q_SLOTS:
    void slotLaunchBrowser();
    void slotExitApp();

private:
    QApplication *application;
    int listeningPort = 80;
    QSettings *settings;
};
