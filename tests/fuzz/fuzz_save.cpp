// The save and load endpoints: a file name and contents from arbitrary bytes.
// Names that ask for a PDF come without contents, so nothing is rendered.

#include "fuzzsupport.h"

#include "http/httprequest.h"
#include "http/httpresponse.h"
#include "web/fileendpoints.h"

#include <httplib.h>

#include <cstdlib>

namespace {

// A line break would end the header early and let the rest become headers of
// its own; a NUL byte cuts the value short.
bool breaksHeader(const std::string &value)
{
    return value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzsupport::ensureApplication();

    httplib::Request req;
    fuzzsupport::buildRequest(data, size, req);
    const bool load = req.path.find("loadFile.html") != std::string::npos;

    HttpRequest request(req);
    const ParameterMap params = request.getParameterMap();
    httplib::Response res;
    HttpResponse response(res);

    if (load) {
        fileendpoints::load(request, response);
    } else {
        if (params.value("filename").contains(".pdf") && params.contains("fileContent"))
            return 0;
        fileendpoints::save(request, response, params, nullptr);
        const QByteArray filename = params.value("filename");
        if ((filename.contains('\r') || filename.contains('\n') || filename.contains('\0'))
            && (res.status != 400 || res.has_header("Content-Disposition")))
            std::abort();
        if (res.status == 200 && res.body != params.value("fileContent").toStdString())
            std::abort();
    }

    for (const auto &[name, value] : res.headers)
        if (breaksHeader(name) || breaksHeader(value))
            std::abort();
    return 0;
}
