#include "web/fileendpoints.h"

#include "http/httprequest.h"
#include "http/httpresponse.h"
#include "system/systemfun.h"

#include <QIODevice>
#include <QString>

namespace fileendpoints {

namespace {

void badRequest(HttpResponse &response)
{
    response.setStatus(400, "Bad Request");
    response.write(QByteArray(), true);
}

// A line break in the name would end the header early and let the rest of the
// name become headers of its own.
bool isSafeHeaderValue(const QByteArray &value)
{
    return !value.contains('\r') && !value.contains('\n') && !value.contains('\0');
}

} // namespace

void save(HttpRequest &request, HttpResponse &response, const ParameterMap &params, SystemFun *systemFun)
{
    if (!params.contains("filename") || !params.contains("fileContent")) {
        badRequest(response);
        return;
    }
    const QByteArray filename = params.value("filename");
    if (!isSafeHeaderValue(filename)) {
        badRequest(response);
        return;
    }

    response.setStatus(200, "OK");
    response.setHeader("Content-Disposition", "attachment; filename=" + filename);

    if (filename.contains(".pdf")) {
        response.setHeader("Content-type", "application/pdf");
        QByteArray html = params.value("fileContent");
        const qsizetype nul = html.indexOf('\0');
        if (nul >= 0)
            html.truncate(nul);
        response.write(systemFun->htmlToPdf(QString::fromUtf8(html)), true);
        return;
    }

    const QByteArray contentType = request.getHeader("Content-type");
    if (!contentType.isEmpty())
        response.setHeader("Content-type", contentType);
    response.write(params.value("fileContent"), true);
}

void load(HttpRequest &request, HttpResponse &response)
{
    QIODevice *file = request.getUploadedFile("uploadedfile");
    if (!file) {
        badRequest(response);
        return;
    }
    response.setStatus(200, "OK");
    response.setHeader("Content-type", "text/plain");
    response.write(file->readAll(), true);
}

} // namespace fileendpoints
