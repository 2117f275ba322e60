// Byte-level text helpers shared by the senders: UTF-8 sequence lengths, base64, hex.
#ifndef RELAYD_RECORD_TEXT_CODEC_H
#define RELAYD_RECORD_TEXT_CODEC_H

#include <cstddef>
#include <string>

namespace relayd {

// Standard base64 with padding, no line breaks.
std::string Base64(const std::string& sBytes);

// Lower-case hex.
std::string Hex(const std::string& sBytes);

}  // namespace relayd

#endif  // RELAYD_RECORD_TEXT_CODEC_H
