// The byte rules of a request's text fields, shared by intake and the configuration.
//
// A name list is what the client sends in its receivers and cc fields: names separated
// by ';'. Its bytes must be a-z, A-Z, 0-9, ';', '_' or '-' (the client's own rule, so
// the relay takes whatever the client lets through); empty pieces are dropped.
//
//   IsNameListValid("a;;b;") -> true      SplitNameList("a;;b;") -> {"a", "b"}
//   IsNameListValid("a.b")   -> false     SplitNameList("")      -> {}
#ifndef RELAYD_RECORD_TEXT_RULES_H
#define RELAYD_RECORD_TEXT_RULES_H

#include <string>
#include <vector>

namespace relayd {

// At most this many names in a request's receivers and cc together, and this many bytes in
// one name (a receiver, a cc or an attachment name).
const size_t kMaxNames = 1000;
const size_t kMaxNameBytes = 255;

// True when every byte of sList may stand in a name list (an empty list is valid).
bool IsNameListValid(const std::string& sList);

// The names between ';', empty ones dropped.
std::vector<std::string> SplitNameList(const std::string& sList);

// The names joined with ';'.
std::string JoinNameList(const std::vector<std::string>& vecNames);

// sBytes for a log line: printable ASCII as itself, any other byte as \xHH, cut after
// nMax bytes with "..." appended.
std::string QuoteForLog(const std::string& sBytes, size_t nMax = 64);

}  // namespace relayd

#endif  // RELAYD_RECORD_TEXT_RULES_H
