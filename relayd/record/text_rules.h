// The byte rules of a request's text fields, shared by intake and the configuration.
//
// A name is a receiver or cc: one or more of a-z, A-Z, 0-9, '_' and '-' (the client's
// own rule, so the relay takes whatever the client lets through; each name is also a
// mailbox's local part). A name list is what the client sends in its receivers and cc
// fields: names separated by ';', empty pieces dropped.
//
//   IsName("a-b_1") -> true               IsName("a.b"), IsName("") -> false
//   IsNameListValid("a;;b;") -> true      SplitNameList("a;;b;") -> {"a", "b"}
//   IsNameListValid("a.b")   -> false     SplitNameList("")      -> {}
#ifndef RELAYD_RECORD_TEXT_RULES_H
#define RELAYD_RECORD_TEXT_RULES_H

#include <string>
#include <vector>

namespace relayd {

// True for the bytes a name may hold.
bool IsNameByte(char c);

// True when sName is one name.
bool IsName(const std::string& sName);

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

// sText without the blanks (spaces and tabs) at either end.
std::string TrimBlanks(const std::string& sText);

// sBytes for a log line: printable ASCII as itself, any other byte as \xHH, cut after
// nMax bytes with "..." appended.
std::string QuoteForLog(const std::string& sBytes, size_t nMax = 64);

}  // namespace relayd

#endif  // RELAYD_RECORD_TEXT_RULES_H
