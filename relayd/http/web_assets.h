// The web pages' files (relayd/http/web/), compiled into the program by tools/embed_web.cmake.
#ifndef RELAYD_HTTP_WEB_ASSETS_H
#define RELAYD_HTTP_WEB_ASSETS_H

#include <cstddef>

namespace relayd {

struct SWebAsset {
    const char* m_szName;  // the file name in relayd/http/web/, "inbox.js"
    const char* m_szContentType;
    const unsigned char* m_pData;
    size_t m_nSize;
};

extern const SWebAsset g_aWebAssets[];
extern const size_t g_nWebAssetCount;

}  // namespace relayd

#endif  // RELAYD_HTTP_WEB_ASSETS_H
