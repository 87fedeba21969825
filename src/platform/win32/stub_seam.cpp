// TEMPORARY placeholder for the HTTP and protection seam; deleted when they land.
#include "platform/platform.h"
HttpExchangeResult PlatformHttpGet(const HttpExchangeRequest&, HttpResponseHead*, const HttpHeadSink&, const HttpBodySink&) { return HttpExchangeResult::NoResponse; }
