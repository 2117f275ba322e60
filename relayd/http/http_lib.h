// The HTTP side's request and answer as its handlers see them: plain data, no sockets,
// no library types. The server (http_server.cpp) fills an SHttpRequest from the wire,
// hands it to the handlers (http_dispatch.h) and writes the SHttpResponse they fill.
//
// Most answers are whole at once. Two kinds are not, and the server calls them again
// each time it wakes them (on a new event, at least every kRequeryMs):
//   - a waiting answer (a list with wait=) sets m_fnWaitTurn; each call returns true once
//     it has filled the response;
//   - a stream (the event stream) sets m_fnStreamTurn; each call appends the text to send
//     now and returns false when the stream ends.
// Whatever such a function holds (a long-handler slot) is released when the connection
// ends, so a client that leaves gives its place back at once.
#ifndef RELAYD_HTTP_HTTP_LIB_H
#define RELAYD_HTTP_HTTP_LIB_H

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace relayd {

typedef std::vector<std::pair<std::string, std::string>> HttpHeaders;

struct SHttpRequest {
    std::string m_sMethod;                                // "GET", "POST", ...
    std::string m_sPath;                                  // percent-decoded, without the query
    std::multimap<std::string, std::string> m_mapParams;  // the query, decoded
    HttpHeaders m_vecHeaders;                             // as they came, in order
    std::string m_sBody;
    // The route's wildcards: [0] the whole path, [1]... each "*" of the pattern.
    std::vector<std::string> m_vecMatches;

    // The first header named szName (any case); "" when absent.
    std::string Header(const char* szName) const;
    bool HasHeader(const char* szName) const;
};

struct SHttpResponse {
    int m_iStatus = 200;
    std::string m_sBody;
    std::string m_sContentType;
    HttpHeaders m_vecHeaders;
    std::function<bool(SHttpResponse&)> m_fnWaitTurn;
    std::function<bool(std::string&)> m_fnStreamTurn;

    // Replaces a header of that name (any case) or adds it.
    void SetHeader(const std::string& sName, const std::string& sValue);
    std::string Header(const char* szName) const;
    void SetContent(const std::string& sBody, const char* szContentType);
    void SetContent(const char* pData, size_t nSize, const char* szContentType);
};

}  // namespace relayd

#endif  // RELAYD_HTTP_HTTP_LIB_H
