// The pieces of an outgoing mail that must never let message text shape the header:
// the Subject as RFC 2047 encoded-words, attachment names as RFC 2231 parameters,
// addresses from receiver names, the Date and the Message-ID. Pure functions.
//
//   SubjectHeader("Build ok")          -> "Subject: Build ok"
//   SubjectHeader("构建\r\nBcc: x")     -> "Subject: =?UTF-8?B?5p6E5bu6DQpCY2M6IHg=?="
//   DispositionHeader("notes.txt")     -> "Content-Disposition: attachment; filename=\"notes.txt\""
//   DispositionHeader("报告.txt")       -> "Content-Disposition: attachment;
//                                          filename*=UTF-8''%E6%8A%A5%E5%91%8A.txt"
//   MailDate(0)                        -> "Thu, 01 Jan 1970 00:00:00 +0000"
#ifndef RELAYD_DELIVERY_MAIL_FORMAT_H
#define RELAYD_DELIVERY_MAIL_FORMAT_H

#include <cstdint>
#include <string>
#include <vector>

namespace relayd {

// Longest encoded-word (RFC 2047 section 2) and the folding break between header lines.
const size_t kMaxEncodedWord = 75;
extern const char kFold[];  // "\r\n "

// "Subject: <title>": the title as it is when it is short, printable ASCII with single
// inner spaces only and no "=?"; otherwise as UTF-8 base64 encoded-words of at most 75
// characters, split between characters, one per folded line.
std::string SubjectHeader(const std::string& sTitle);

// The encoded-words alone, split as SubjectHeader does.
std::vector<std::string> EncodedWords(const std::string& sText);

// "Content-Disposition: attachment; ..." naming the file: a quoted filename when the
// name is short printable ASCII without quotes or backslashes; otherwise RFC 2231
// percent-encoded UTF-8, in numbered continuations on folded lines when long.
std::string DispositionHeader(const std::string& sName);

// "alice@example.org" for each name; false (and the offending name in sBadName) when
// one is not a name (relayd/record/text_rules.h).
bool MailAddresses(const std::vector<std::string>& vecNames, const std::string& sDomain,
                   std::vector<std::string>& vecAddresses, std::string& sBadName);

// "To: a@x, b@x" (sName "To"), folded after a comma before a line grows past 78.
std::string AddressHeader(const std::string& sName, const std::vector<std::string>& vecAddresses);

// RFC 5322 date-time in UTC: "Mon, 07 Dec 2026 08:30:00 +0000".
std::string MailDate(int64_t llUnixMs);

// "<fanout.17.1796631889123@example.org>": the same for every attempt of a message, so
// a receiver can recognise a copy delivered twice.
std::string MessageIdHeaderValue(int64_t llId, int64_t llReceivedAtMs, const std::string& sHost);

}  // namespace relayd

#endif  // RELAYD_DELIVERY_MAIL_FORMAT_H
