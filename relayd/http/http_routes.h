// The HTTP side's routes, one group per file; CHttpServer adds them all.
#ifndef RELAYD_HTTP_HTTP_ROUTES_H
#define RELAYD_HTTP_HTTP_ROUTES_H

#include "relayd/http/http_context.h"
#include "relayd/http/http_router.h"

namespace relayd {

// /api/v1/messages and below (http_messages.cpp).
void AddMessageRoutes(CHttpRouter& oServer, SHttpContext& oContext);
// /api/v1/keys (http_keys.cpp).
void AddKeyRoutes(CHttpRouter& oServer, SHttpContext& oContext);
// /api/v1/events (http_events.cpp).
void AddEventRoutes(CHttpRouter& oServer, SHttpContext& oContext);
// /, /messages/{id}, /keys and /static/ (http_pages.cpp).
void AddPageRoutes(CHttpRouter& oServer);
// /livez, /readyz, /metrics (http_probes.cpp).
void AddProbeRoutes(CHttpRouter& oServer, SHttpContext& oContext);

}  // namespace relayd

#endif  // RELAYD_HTTP_HTTP_ROUTES_H
