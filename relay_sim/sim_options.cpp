#include "relay_sim/sim_options.h"

#include <arpa/inet.h>

#include <cctype>
#include <charconv>

#include "relay_proc/option_scan.h"
#include "relay_proto/frame.h"
#include "relay_proto/hex.h"

namespace relay_sim {

namespace {

const uint64_t kMaxMs = 3600 * 1000;  // an hour: longer waits are typos

bool ParseNumber(const std::string& sText, uint64_t ddwMax, uint64_t& ddwValue) {
    const char* pEnd = sText.data() + sText.size();
    const std::from_chars_result oResult = std::from_chars(sText.data(), pEnd, ddwValue);
    return !sText.empty() && oResult.ec == std::errc() && oResult.ptr == pEnd && ddwValue <= ddwMax;
}

// Stores sText as a number in [ddwMin, ddwMax] into *pValue of type T.
template <typename T>
bool SetNumber(const std::string& sText, uint64_t ddwMin, uint64_t ddwMax, T* pValue,
               std::string& sErrMsg) {
    uint64_t ddwValue = 0;
    if (!ParseNumber(sText, ddwMax, ddwValue) || ddwValue < ddwMin) {
        sErrMsg = "'" + sText + "' is not a number from " + std::to_string(ddwMin) + " to " +
                  std::to_string(ddwMax);
        return false;
    }
    *pValue = static_cast<T>(ddwValue);
    return true;
}

// Hex digits, blanks between them allowed ("00 00 00 2b ..."), at least one byte.
bool ParseHex(const std::string& sText, std::string& sBytes) {
    std::string sDigits;
    for (const char c : sText) {
        if (!isspace(static_cast<unsigned char>(c))) {
            sDigits += c;
        }
    }
    return !sDigits.empty() && relay_proto::HexDecode(sDigits, sBytes);
}

bool SetAction(SSimOptions& oOpts, SIM_ACTION eAction, std::string& sErrMsg) {
    if (oOpts.m_eAction != SA_REPLY && oOpts.m_eAction != eAction) {
        sErrMsg = "choose only one of --close, --reset, --no-read and --reply-hex";
        return false;
    }
    oOpts.m_eAction = eAction;
    return true;
}

bool SetListen(SSimOptions& oOpts, const std::string& sValue, std::string& sErrMsg) {
    in_addr oAddr;
    if (inet_pton(AF_INET, sValue.c_str(), &oAddr) != 1) {
        sErrMsg = "--listen: '" + sValue + "' is not an IPv4 address";
        return false;
    }
    oOpts.m_vecListen.push_back(sValue);
    return true;
}

bool SetChannelResult(SSimOptions& oOpts, const std::string& sValue, std::string& sErrMsg) {
    const size_t nEq = sValue.find('=');
    relay_proto::CHANNEL eChannel = relay_proto::CH_SMS;
    if (nEq == std::string::npos ||
        !relay_proto::ChannelFromName(sValue.substr(0, nEq), eChannel)) {
        sErrMsg = "--channel-result: '" + sValue + "' is not CHANNEL=CODE (mail, zeph, lumo, sms)";
        return false;
    }
    return SetNumber(sValue.substr(nEq + 1), 0, UINT32_MAX, &oOpts.m_mapChannelResult[eChannel],
                     sErrMsg);
}

bool SetRawReply(SSimOptions& oOpts, const std::string& sValue, std::string& sErrMsg) {
    if (!ParseHex(sValue, oOpts.m_sRawReply)) {
        sErrMsg = "--reply-hex: '" + sValue + "' is not an even number of hex digits";
        return false;
    }
    return SetAction(oOpts, SA_RAW, sErrMsg);
}

using SET_FN = bool (*)(SSimOptions& oOpts, const std::string& sValue, std::string& sErrMsg);

// --help (no setter) ends the scan.
struct SOptionDef {
    relay_proc::SOptionSpec m_oSpec;
    SET_FN m_pSet;
};

const SOptionDef kOptions[] = {
    {{"help", 'h', false}, nullptr},
    {{"listen", 0, true}, SetListen},
    {{"port-offset", 0, true},
     [](SSimOptions& o, const std::string& s, std::string& e) {
         return SetNumber(s, 0, 65535 - relay_proto::ChannelPort(relay_proto::CH_SMS, 0),
                          &o.m_nPortOffset, e);
     }},
    {{"result", 0, true},
     [](SSimOptions& o, const std::string& s, std::string& e) {
         return SetNumber(s, 0, UINT32_MAX, &o.m_dwResult, e);
     }},
    {{"channel-result", 0, true}, SetChannelResult},
    {{"reply-type", 0, true},
     [](SSimOptions& o, const std::string& s, std::string& e) {
         return SetNumber(s, 0, 255, &o.m_cReplyType, e);
     }},
    {{"delay", 0, true},
     [](SSimOptions& o, const std::string& s, std::string& e) {
         return SetNumber(s, 0, kMaxMs, &o.m_dwDelayMs, e);
     }},
    {{"close", 0, false},
     [](SSimOptions& o, const std::string&, std::string& e) { return SetAction(o, SA_CLOSE, e); }},
    {{"reset", 0, false},
     [](SSimOptions& o, const std::string&, std::string& e) { return SetAction(o, SA_RESET, e); }},
    {{"no-read", 0, false},
     [](SSimOptions& o, const std::string&, std::string& e) {
         return SetAction(o, SA_NO_READ, e);
     }},
    {{"reply-hex", 0, true}, SetRawReply},
    {{"chunk", 0, true},
     [](SSimOptions& o, const std::string& s, std::string& e) {
         return SetNumber(s, 1, 1u << 30, &o.m_dwChunk, e);
     }},
    {{"chunk-delay", 0, true},
     [](SSimOptions& o, const std::string& s, std::string& e) {
         return SetNumber(s, 0, kMaxMs, &o.m_dwChunkDelayMs, e);
     }},
    {{"timeout", 0, true},
     [](SSimOptions& o, const std::string& s, std::string& e) {
         return SetNumber(s, 1, kMaxMs, &o.m_dwTimeoutMs, e);
     }},
    {{"max-frame", 0, true},
     [](SSimOptions& o, const std::string& s, std::string& e) {
         return SetNumber(s, relay_proto::FRAME_OVERHEAD, UINT32_MAX, &o.m_dwMaxFrame, e);
     }},
    {{"save", 0, true},
     [](SSimOptions& o, const std::string& s, std::string& e) {
         if (s.empty()) {
             e = "needs a folder";
             return false;
         }
         o.m_sSaveDir = s;
         return true;
     }},
    {{"background", 0, false},
     [](SSimOptions& o, const std::string&, std::string&) {
         o.m_bBackground = true;
         return true;
     }},
    {{"pid-file", 0, true},
     [](SSimOptions& o, const std::string& s, std::string& e) {
         if (s.empty()) {
             e = "needs a file name";
             return false;
         }
         o.m_sPidFile = s;
         return true;
     }},
};

}  // namespace

uint32_t SSimOptions::ResultFor(relay_proto::CHANNEL eChannel) const {
    const auto it = m_mapChannelResult.find(eChannel);
    return (it == m_mapChannelResult.end()) ? m_dwResult : it->second;
}

PARSE_RESULT ParseOptions(int argc, const char* const* argv, SSimOptions& oOpts,
                          std::string& sErrMsg) {
    std::vector<relay_proc::SOptionSpec> vecSpecs;
    for (const SOptionDef& oDef : kOptions) {
        vecSpecs.push_back(oDef.m_oSpec);
    }
    bool bHelp = false;
    auto fnOption = [&oOpts, &bHelp](size_t nIndex, const std::string& sValue, std::string& sWhy) {
        if (kOptions[nIndex].m_pSet == nullptr) {
            bHelp = true;
            return relay_proc::OS_STOP;
        }
        return kOptions[nIndex].m_pSet(oOpts, sValue, sWhy) ? relay_proc::OS_NEXT
                                                            : relay_proc::OS_FAIL;
    };
    if (!relay_proc::ScanOptions(argc, argv, vecSpecs, fnOption, sErrMsg)) {
        return PR_ERROR;
    }
    if (bHelp) {
        return PR_HELP;
    }
    if (oOpts.m_vecListen.empty()) {
        oOpts.m_vecListen.push_back("127.0.0.1");
    }
    return PR_RUN;
}

std::string UsageText() {
    return R"(Usage: fanout_relay_sim [options]

A local stand-in for the relay server. It listens on the four channel ports
(12460 mail, 12461 zeph, 12462 lumo, 12463 sms), reads one request frame per
connection, decodes the package by the channel of the port, prints one JSON line
about it on standard output and answers with one reply frame.

Where to listen:
  --listen ADDR          IPv4 address to serve (repeatable; default 127.0.0.1),
                         e.g. --listen 127.0.0.1 --listen 127.0.0.2
  --port-offset N        serve ports 12460+N to 12463+N instead (default 0)

What to answer:
  --result CODE          result code of every reply (default 0: success)
  --channel-result CH=CODE
                         result code for one channel (mail, zeph, lumo, sms);
                         repeatable, wins over --result
  --reply-type N         package type byte of the reply (default 1: response)
A package that cannot be decoded (a frame whose last byte is not ETX, a package
shorter than its 43-byte header, a field running past the end, bytes left after
the last field) is answered with result 4. Bytes that are not a frame (first
byte not STX, length below 6 or above --max-frame) get no reply: the
connection is closed.

Playing a failing relay (--close, --reset, --no-read, --reply-hex exclude
each other):
  --delay MS             wait MS after reading the request before acting
  --close                close the connection without a reply
  --reset                reset the connection (RST) after the first bytes arrive
  --no-read              accept and never read; close at the --timeout
  --reply-hex HEX        send these raw bytes instead of a reply frame
                         (blanks between the digits are ignored)
  --chunk N              send the reply in pieces of N bytes
  --chunk-delay MS       pause MS between the pieces (default 0)

Limits:
  --timeout MS           time allowed to read a request, and again to write the
                         reply (default 10000)
  --max-frame BYTES      largest request frame accepted (default 67108864)

Saving:
  --save DIR             write each request's image (file "image") and
                         attachments into DIR/<seq>-<channel>/ (DIR is created
                         when missing). Attachment names are cut to their last
                         path component, control bytes become "_"; an
                         empty, "." or ".." name, "image", or a name seen
                         before in the request is saved as attachment-<n>.

Output: one JSON line per connection on standard output, flushed at once, each
with "seq" (connection number from 1), "channel", "local" (the address and
port it came in on) and "peer" (the client's ip:port), then
  - a request: "cmd", "pkg_type", "client_version", "timestamp", "result",
    "key_id", "sender", "receivers", "cc" (mail), "title" (not lumo),
    "content", "image_size" (lumo), "attachments" [{"name","size"}] (mail),
    "saved" (with --save; "save_error" when that failed);
  - or a failure: "error" with the reason;
  - or, with --reset, "bytes_read": what arrived before the reset;
then "action": "reply" (with "reply_result"), "close", "reset", "no-read" or
"raw". A reply that cannot be delivered adds an "error" line with the same seq.
Text fields are JSON strings; bytes that are not valid UTF-8 are replaced by
U+FFFD and the field's raw bytes are added in hexadecimal as "<field>_hex".
Read standard output as it comes (or send it to a file): a full pipe stalls
the simulator.

Starting from a script:
  --background           once every port listens, go on in the background and
                         exit 0: the next command can use the ports at once
                         (exit 2, nothing left running, when one cannot be bound)
  --pid-file FILE        write the process id of the running simulator to FILE
                         (removed when it stops), e.g. for kill $(cat FILE)

A line "fanout_relay_sim: listening on ADDR... ports P-Q" on standard error
tells that the simulator is ready. SIGINT or SIGTERM stops it (status 0);
status 2 means bad options or a port that cannot be bound.

  -h, --help             this text
)";
}

}  // namespace relay_sim
