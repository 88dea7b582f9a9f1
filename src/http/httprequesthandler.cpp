#include "http/httprequesthandler.h"

#include "http/httprequest.h"
#include "http/httpresponse.h"

HttpRequestHandler::HttpRequestHandler(QObject *parent) : QObject(parent) {}

HttpRequestHandler::~HttpRequestHandler() = default;

void HttpRequestHandler::service(HttpRequest &, HttpResponse &response)
{
    response.setStatus(501, "Not Implemented");
    response.write("501 Not Implemented", true);
}
