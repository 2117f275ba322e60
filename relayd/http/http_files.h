// Headers for the bytes a message carries: a download name that no file name can break
// out of, and the type of a picture told from its first bytes.
//
//   ContentDisposition("attachment", "报告.txt")
//     -> attachment; filename="__.txt"; filename*=UTF-8''%E6%8A%A5%E5%91%8A.txt
//   SniffImageType("\x89PNG\r\n\x1a\n...") -> "image/png"
#ifndef RELAYD_HTTP_HTTP_FILES_H
#define RELAYD_HTTP_HTTP_FILES_H

#include <string>

namespace relayd {

// szDisposition is "attachment" or "inline". The plain filename keeps printable ASCII
// but quotes, backslashes, '%' and ';' (each other byte becomes '_'); filename* (RFC 6266
// and RFC 8187) carries every byte, percent-encoded. The result never holds a control
// character, so it cannot start another header line.
std::string ContentDisposition(const char* szDisposition, const std::string& sName);

// "image/png", "image/jpeg", "image/gif" or "image/webp" by the file's signature;
// "application/octet-stream" for anything else.
const char* SniffImageType(const std::string& sData);

}  // namespace relayd

#endif  // RELAYD_HTTP_HTTP_FILES_H
