#pragma once

#include "http/parametermap.h"

class HttpRequest;
class HttpResponse;
class SystemFun;

// "saveFile.html" and "loadFile.html": pages exchange whole files with the user's disk.
namespace fileendpoints {

void save(HttpRequest &request, HttpResponse &response, const ParameterMap &params, SystemFun *systemFun);
void load(HttpRequest &request, HttpResponse &response);

} // namespace fileendpoints
