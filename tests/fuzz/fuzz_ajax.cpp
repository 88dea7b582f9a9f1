// An AJAX request from arbitrary bytes: the gate, the parameter map and the
// request handler's routing. Functions that reach outside the process (mail,
// programs, the update server, the hand-overs) are not dispatched, and the
// Modbus functions can only reach a refused loopback port or a missing device.

#include "fuzzsupport.h"

#include "http/gate.h"
#include "http/httprequest.h"
#include "http/httpresponse.h"
#include "http/staticfilecontroller.h"
#include "modbus/modbuslib.h"
#include "web/myhttprequesthandler.h"

#include <QDir>
#include <QFile>
#include <QSettings>

#include <httplib.h>

#include <cstdlib>
#include <memory>

namespace {

constexpr int listeningPort = 8088;

struct Handler {
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<MyHttpRequestHandler> handler;
};

MyHttpRequestHandler &handler()
{
    static Handler h = [] {
        fuzzsupport::ensureApplication();
        const QString root = fuzzsupport::scratchDir();
        QDir(root).mkpath(QStringLiteral("www/module1"));
        QFile index(root + QStringLiteral("/www/index.html"));
        if (index.open(QIODevice::WriteOnly))
            index.write("<html>index</html>");
        const QString configPath = root + QStringLiteral("/config.ini");
        {
            QSettings config(configPath, QSettings::IniFormat);
            config.setValue(QStringLiteral("docroot/path"), root + QStringLiteral("/www"));
            config.setValue(QStringLiteral("updates/updateServer"),
                            QStringLiteral("http://127.0.0.1:%1/").arg(fuzzsupport::closedPort()));
            // Never a real serial device.
            config.setValue(QStringLiteral("serial/extraPorts"), QStringLiteral("/nonexistent/ttyFUZZ0"));
        }
        // The port list reads its extra paths from here too.
        modbuslib::setConfigFile(configPath);
        Handler made;
        made.settings = std::make_unique<QSettings>(configPath, QSettings::IniFormat);
        made.settings->beginGroup(QStringLiteral("docroot"));
        auto *files = new StaticFileController(made.settings.get());
        made.handler = std::make_unique<MyHttpRequestHandler>(files, made.settings.get());
        files->setParent(made.handler.get());
        return made;
    }();
    return *h.handler;
}

bool reachesOutside(const QByteArray &func)
{
    static const QByteArrayList outside{"sendEmail",        "runFirmwareUpdater", "openFtpInExplorer",
                                        "runAsAdministrator", "runAutoUpdate",    "check4Updates",
                                        "startUpdating"};
    return outside.contains(func);
}

// Replaces every value of `name` (query, url-encoded body and plain multipart
// fields), leaving the parameter absent when it was, so that the missing-
// parameter paths stay reachable.
void force(httplib::Request &request, const std::string &name, const std::string &value)
{
    for (auto &[key, v] : request.params)
        if (key == name)
            v = value;
    for (auto &[key, part] : request.files)
        if (key == name && part.filename.empty())
            part.content = value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MyHttpRequestHandler &h = handler();

    httplib::Request req;
    fuzzsupport::buildRequest(data, size, req);
    const int gateStatus = gate::check(req, listeningPort);
    if (gateStatus != 0 && gateStatus != 403)
        std::abort();

    force(req, "ipAddres_tcp", "127.0.0.1");
    force(req, "port_tcp", std::to_string(fuzzsupport::closedPort()));
    force(req, "portSelect", "/nonexistent/ttyFUZZ0");

    HttpRequest request(req);
    const ParameterMap params = request.getParameterMap();
    const QByteArray path = request.getPath();
    if (path.contains("ajax.html")) {
        if (reachesOutside(params.value("func")))
            return 0;
    } else if (path.contains("saveFile.html") && params.value("filename").contains(".pdf")) {
        // Rendering is not what this target looks at, and is slow.
        return 0;
    }

    httplib::Response res;
    HttpResponse response(res);
    h.service(request, response);
    return 0;
}
