#include "web/myhttprequesthandler.h"

#include "email/email.h"
#include "http/httprequest.h"
#include "http/httpresponse.h"
#include "http/staticfilecontroller.h"
#include "modbus/modbusengine.h"
#include "modules/modulesmngr.h"
#include "modules/updates.h"
#include "system/systemfun.h"
#include "web/fileendpoints.h"

#include <QSettings>

MyHttpRequestHandler::MyHttpRequestHandler(StaticFileController *staticFileController, QSettings *settings, QObject *parent)
    : HttpRequestHandler(parent), staticFileController(staticFileController)
{
    modbusEngine = new ModbusEngine(this);
    this->settings = settings;
    modulesMngr = new ModulesMngr(settings->value(QStringLiteral("path"), QStringLiteral(".")).toString(), this);
    const QString configPath = settings->fileName();
    // Updates moves the shared settings object to group "updates": read nothing through it afterwards.
    updates = new Updates(settings, this);
    email = new Email(configPath, this);
    systemFun = new SystemFun(this);
}

void MyHttpRequestHandler::service(HttpRequest &request, HttpResponse &response)
{
    const ParameterMap params = request.getParameterMap();
    const QByteArray path = request.getPath();

    if (path.contains("ajax.html")) {
        const QByteArray reply = dispatch(params.value("func"), params);
        response.setStatus(200, "OK");
        response.setHeader("Content-Type", "text/html");
        response.write(reply, true);
    } else if (path.contains("saveFile.html")) {
        fileendpoints::save(request, response, params, systemFun);
    } else if (path.contains("loadFile.html")) {
        fileendpoints::load(request, response);
    } else {
        staticFileController->service(request, response);
    }
}

QByteArray MyHttpRequestHandler::dispatch(const QByteArray &func, const ParameterMap &params)
{
    if (func.isEmpty())
        return QByteArray();

    static const QByteArrayList lockedFunctions{"getPortSettings", "connect",       "disconnect",
                                                "readRegisters",   "writeRegisters", "identifySlave"};
    if (lockedFunctions.contains(func)) {
        if (!modbusMutex.tryLock(modbusLockTimeoutMs))
            return QByteArray();
        QByteArray reply;
        if (func == "getPortSettings")
            reply = modbusEngine->getPortSettings();
        else if (func == "connect")
            reply = modbusEngine->connect(params);
        else if (func == "disconnect")
            reply = modbusEngine->disconnect();
        else if (func == "readRegisters")
            reply = modbusEngine->readRegisters(params, 0);
        else if (func == "writeRegisters")
            reply = modbusEngine->writeRegisters(params, 0);
        else if (func == "identifySlave")
            reply = modbusEngine->identifySlave(0);
        modbusMutex.unlock();
        return reply;
    }

    if (func == "getListOfInstalledModules")
        return modulesMngr->getListOfInstalledModules();
    if (func == "getGeneralInfo")
        return systemFun->getGeneralInfo();
    if (func == "runFirmwareUpdater")
        return systemFun->runFirmwareUpdater();
    if (func == "runAsAdministrator") {
        Q_EMIT restartAppAsAdmin();
        return QByteArray();
    }
    if (func == "runAutoUpdate") {
        Q_EMIT runAutoUpdate();
        return QByteArray();
    }
    if (func == "sendEmail")
        return email->sendEmail(params);
    if (func == "check4Updates")
        return updates->check4Updates(params);
    if (func == "startUpdating")
        return updates->startUpdating(params);
    if (func == "getUpdateStatus")
        return updates->getUpdateStatus();
    if (func == "openFtpInExplorer")
        return systemFun->openFtpInExplorer(params);
    return QByteArray();
}
