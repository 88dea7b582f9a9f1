#pragma once

#include <QObject>
#include <QString>

class MyHttpRequestHandler;
class HttpListener;
class TrayMenu;

// The root object of a running instance: builds the server, the request
// handler and the tray, and owns the three ways the instance ends.
class Creator : public QObject
{
    Q_OBJECT
public:
    Creator(const QString &configPath, bool quietStart, QObject *parent = nullptr);

public Q_SLOTS:
    void slotRestartAppAsAdmin();
    void slotRunAutoUpdate();
    void slotExitApp();

private:
    MyHttpRequestHandler *requestHandler = nullptr;
    HttpListener *listener = nullptr;
    TrayMenu *trayMenu = nullptr;
};
