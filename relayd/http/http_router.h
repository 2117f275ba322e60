// The HTTP side's routing table: a method and a path pattern per handler. A pattern is
// split at '/'; a segment "*" matches one whole non-empty segment (the handler finds it
// in m_vecMatches), every other segment matches itself only.
//
//   oRouter.Get("/api/v1/messages/*/image", fnImage);
//   "/api/v1/messages/17/image" -> fnImage, m_vecMatches {"/api/v1/messages/17/image", "17"}
//   "/api/v1/messages/17/image/" -> no route (404)
// HEAD finds the GET routes.
#ifndef RELAYD_HTTP_HTTP_ROUTER_H
#define RELAYD_HTTP_HTTP_ROUTER_H

#include <functional>
#include <string>
#include <vector>

#include "relayd/http/http_lib.h"

namespace relayd {

class CHttpRouter {
public:
    typedef std::function<void(const SHttpRequest&, SHttpResponse&)> FnHandler;

    void Get(const char* szPattern, FnHandler fnHandler);
    void Post(const char* szPattern, FnHandler fnHandler);
    void Delete(const char* szPattern, FnHandler fnHandler);

    // The handler for oReq's method and path, with oReq.m_vecMatches filled; nullptr
    // when no route takes it.
    const FnHandler* Find(SHttpRequest& oReq) const;

private:
    struct SRoute {
        std::string m_sMethod;
        std::vector<std::string> m_vecSegments;
        FnHandler m_fnHandler;
    };
    void Add(const char* szMethod, const char* szPattern, FnHandler fnHandler);

    std::vector<SRoute> m_vecRoutes;
};

}  // namespace relayd

#endif  // RELAYD_HTTP_HTTP_ROUTER_H
