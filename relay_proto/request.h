// Decoding of one request package as the relay receives it: the 43-byte header, then
// the body fields of the channel the request arrived on (the package does not name it).
//
//   sms, zeph: key id, sender, receivers, title, content
//   lumo:      key id, sender, receivers, content, image data
//   mail:      key id, sender, receivers, cc, title, content, attachment count,
//              then per attachment its name and its data
//
// Every string field is a 4-byte big-endian length and that many bytes; the count is a
// bare 4-byte big-endian number. A package must end exactly after its last field.
#ifndef RELAY_PROTO_REQUEST_H
#define RELAY_PROTO_REQUEST_H

#include <cstdint>
#include <string>
#include <vector>

#include "relay_proto/channel.h"

namespace relay_proto {

struct SRequest {
    struct SAttachment {
        std::string m_sName;
        std::string m_sData;
    };

    CHANNEL m_eChannel = CH_SMS;
    uint8_t m_cCmd = 0;
    uint8_t m_cPkgType = 0;
    uint8_t m_cClientVersion = 0;
    uint32_t m_dwTimestamp = 0;
    uint32_t m_dwResult = 0;
    std::string m_sKeyId;
    std::string m_sSender;
    std::string m_sReceivers;
    std::string m_sCc;     // mail only
    std::string m_sTitle;  // not in lumo
    std::string m_sContent;
    std::string m_sImage;                       // lumo only
    std::vector<SAttachment> m_vecAttachments;  // mail only
};

// Decodes sPkg (header and body) as a request of eChannel into oReq. On a package that
// is too short, a field that runs past the end, or bytes left after the last field,
// returns false with the reason in sErrMsg.
bool DecodeRequest(CHANNEL eChannel, const std::string& sPkg, SRequest& oReq, std::string& sErrMsg);

}  // namespace relay_proto

#endif  // RELAY_PROTO_REQUEST_H
