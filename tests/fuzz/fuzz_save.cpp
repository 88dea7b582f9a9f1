// The save and load endpoints: a file name and contents from arbitrary bytes.
// Names that ask for a PDF come without contents, so nothing is rendered.

#include "fuzzsupport.h"

#include "http/httprequest.h"
#include "http/httpresponse.h"
#include "web/fileendpoints.h"

#include <httplib.h>

#include <cstdlib>

namespace {

bool unsafeInHeader(const std::string &value)
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
        if (res.status == 200 && res.body != params.value("fileContent").toStdString())
            std::abort();
    }

    // Whatever the name held, no header may end early and start another.
    for (const auto &[name, value] : res.headers)
        if (unsafeInHeader(name) || unsafeInHeader(value))
            std::abort();
    return 0;
}
