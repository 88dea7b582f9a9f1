#pragma once

#include "http/httprequesthandler.h"
#include "http/parametermap.h"

#include <QMutex>

class StaticFileController;
class ModbusEngine;
class ModulesMngr;
class QSettings;
class Updates;
class Email;
class SystemFun;

// Routes every request: ajax.html to the engines, saveFile.html and
// loadFile.html to the file endpoints, everything else to the static files.
// Runs on the server's worker threads, several at once.
class MyHttpRequestHandler : public HttpRequestHandler
{
    Q_OBJECT
public:
    MyHttpRequestHandler(StaticFileController *staticFileController, QSettings *settings, QObject *parent = nullptr);

    void service(HttpRequest &request, HttpResponse &response) override;

    // How long a Modbus function waits for another one to finish.
    static constexpr int modbusLockTimeoutMs = 5000;

Q_SIGNALS:
    void restartAppAsAdmin();
    void runAutoUpdate();

private:
    QByteArray dispatch(const QByteArray &func, const ParameterMap &params);

    StaticFileController *staticFileController;
    ModbusEngine *modbusEngine;
    ModulesMngr *modulesMngr;
    QSettings *settings;
    Updates *updates;
    Email *email;
    SystemFun *systemFun;
    QMutex modbusMutex;
};
