// The simulator's command line: where to listen, what to answer, how to misbehave.
#ifndef RELAY_SIM_SIM_OPTIONS_H
#define RELAY_SIM_SIM_OPTIONS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "relay_proto/channel.h"
#include "relay_proto/package.h"

namespace relay_sim {

// What the simulator does once it has read a request.
enum SIM_ACTION {
    SA_REPLY,    // a reply package (the default)
    SA_CLOSE,    // close without a reply
    SA_RESET,    // reset the connection (RST) after the first bytes arrived
    SA_NO_READ,  // never read; close when the time limit runs out
    SA_RAW,      // send the --reply-hex bytes instead of a reply frame
};

struct SSimOptions {
    std::vector<std::string> m_vecListen;  // IPv4 addresses, 127.0.0.1 when none given
    int m_nPortOffset = 0;
    uint32_t m_dwResult = 0;
    std::map<relay_proto::CHANNEL, uint32_t>
        m_mapChannelResult;  // overrides m_dwResult per channel
    uint8_t m_cReplyType = PKG_TYPE_RESPONSE;
    SIM_ACTION m_eAction = SA_REPLY;
    std::string m_sRawReply;  // SA_RAW: the bytes to send
    uint32_t m_dwDelayMs = 0;
    uint32_t m_dwChunk = 0;  // 0: send the reply in one piece
    uint32_t m_dwChunkDelayMs = 0;
    uint32_t m_dwTimeoutMs = 10000;
    uint32_t m_dwMaxFrame = 64u << 20;
    std::string m_sSaveDir;      // empty: save nothing
    bool m_bBackground = false;  // go on in a child process once listening
    std::string m_sPidFile;      // empty: write none

    // The result code replied to a well-formed request of eChannel.
    uint32_t ResultFor(relay_proto::CHANNEL eChannel) const;
};

enum PARSE_RESULT { PR_RUN, PR_HELP, PR_ERROR };

// Reads argv[1..argc) into oOpts. PR_ERROR leaves the reason in sErrMsg.
PARSE_RESULT ParseOptions(int argc, const char* const* argv, SSimOptions& oOpts,
                          std::string& sErrMsg);

// The --help text.
std::string UsageText();

}  // namespace relay_sim

#endif  // RELAY_SIM_SIM_OPTIONS_H
