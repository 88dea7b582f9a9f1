#include "web/fileendpoints.h"

#include "http/httprequest.h"
#include "http/httpresponse.h"
#include "system/systemfun.h"

namespace fileendpoints {

void save(HttpRequest &, HttpResponse &response, const ParameterMap &, SystemFun *)
{
    response.setStatus(400, "Bad Request");
    response.write(QByteArray(), true);
}

void load(HttpRequest &, HttpResponse &response)
{
    response.setStatus(400, "Bad Request");
    response.write(QByteArray(), true);
}

} // namespace fileendpoints
