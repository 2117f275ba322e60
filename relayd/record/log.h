// The relay's log: one line per event on standard error, "fanout_relayd: text". When
// standard error is the journal's stream (the service manager says so in JOURNAL_STREAM,
// "device:inode" of that stream), each line starts with its priority the way the journal
// reads it: "<3>" an error, "<4>" a warning, "<6>" information.
#ifndef RELAYD_RECORD_LOG_H
#define RELAYD_RECORD_LOG_H

#include <string>

namespace relayd {

enum LOG_LEVEL { LL_ERROR = 3, LL_WARNING = 4, LL_INFO = 6 };

void LogLine(LOG_LEVEL eLevel, const std::string& sText);

// The line LogLine writes; bJournal: with the priority prefix.
std::string FormatLogLine(LOG_LEVEL eLevel, const std::string& sText, bool bJournal);

// True when JOURNAL_STREAM names the file descriptor iFd's device and inode.
bool StreamIsJournal(int iFd);

}  // namespace relayd

#endif  // RELAYD_RECORD_LOG_H
