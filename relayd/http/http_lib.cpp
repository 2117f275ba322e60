#include "relayd/http/http_lib.h"

#include <strings.h>

namespace relayd {

namespace {

const std::string* FindHeader(const HttpHeaders& vecHeaders, const char* szName) {
    for (const auto& oHeader : vecHeaders) {
        if (strcasecmp(oHeader.first.c_str(), szName) == 0) {
            return &oHeader.second;
        }
    }
    return nullptr;
}

}  // namespace

std::string SHttpRequest::Header(const char* szName) const {
    const std::string* pValue = FindHeader(m_vecHeaders, szName);
    return pValue == nullptr ? std::string() : *pValue;
}

bool SHttpRequest::HasHeader(const char* szName) const {
    return FindHeader(m_vecHeaders, szName) != nullptr;
}

void SHttpResponse::SetHeader(const std::string& sName, const std::string& sValue) {
    for (auto& oHeader : m_vecHeaders) {
        if (strcasecmp(oHeader.first.c_str(), sName.c_str()) == 0) {
            oHeader.second = sValue;
            return;
        }
    }
    m_vecHeaders.emplace_back(sName, sValue);
}

std::string SHttpResponse::Header(const char* szName) const {
    const std::string* pValue = FindHeader(m_vecHeaders, szName);
    return pValue == nullptr ? std::string() : *pValue;
}

void SHttpResponse::SetContent(const std::string& sBody, const char* szContentType) {
    m_sBody = sBody;
    m_sContentType = szContentType;
}

void SHttpResponse::SetContent(const char* pData, size_t nSize, const char* szContentType) {
    m_sBody.assign(pData, nSize);
    m_sContentType = szContentType;
}

}  // namespace relayd
