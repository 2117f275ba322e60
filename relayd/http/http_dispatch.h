// What every request goes through between the wire and its handler, without sockets:
// the guard (Host, Origin, token), the JSON body rule, the routes, and the headers every
// answer carries. The server calls it for each request; the fuzz target calls it
// directly.
//
//   CHttpRouter oRouter;
//   AddAllRoutes(oRouter, oContext);
//   HandleRequest(oContext, oRouter, oReq, oRes);  // oRes: the answer, or a waiting or
//                                                  // streaming one (see http_lib.h)
#ifndef RELAYD_HTTP_HTTP_DISPATCH_H
#define RELAYD_HTTP_HTTP_DISPATCH_H

#include "relayd/http/http_context.h"
#include "relayd/http/http_lib.h"
#include "relayd/http/http_router.h"

namespace relayd {

// The API, pages, events and probes.
void AddAllRoutes(CHttpRouter& oRouter, SHttpContext& oContext);

// Answers oReq: refused by the guard (400, 401, 403), 415 for a body that is not
// declared JSON, 404 when no route takes it, else what its handler answers. Never
// throws: a handler's exception becomes 500.
void HandleRequest(SHttpContext& oContext, const CHttpRouter& oRouter, SHttpRequest& oReq,
                   SHttpResponse& oRes);

// The headers every answer carries, errors of the server's own included: nosniff, no
// referrer, the content security policy, no framing.
void AddStandardHeaders(SHttpResponse& oRes);

}  // namespace relayd

#endif  // RELAYD_HTTP_HTTP_DISPATCH_H
