#include "relayd/record/log.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace relayd {

bool StreamIsJournal(int iFd) {
    const char* szStream = getenv("JOURNAL_STREAM");
    struct stat oStat;
    if (szStream == nullptr || fstat(iFd, &oStat) != 0) {
        return false;
    }
    const std::string sExpected = std::to_string(static_cast<unsigned long long>(oStat.st_dev)) +
                                  ":" +
                                  std::to_string(static_cast<unsigned long long>(oStat.st_ino));
    return sExpected == szStream;
}

std::string FormatLogLine(LOG_LEVEL eLevel, const std::string& sText, bool bJournal) {
    std::string sLine = bJournal ? "<" + std::to_string(static_cast<int>(eLevel)) + ">" : "";
    return sLine + "fanout_relayd: " + sText + "\n";
}

void LogLine(LOG_LEVEL eLevel, const std::string& sText) {
    static const bool s_bJournal = StreamIsJournal(2);
    const std::string sLine = FormatLogLine(eLevel, sText, s_bJournal);
    fwrite(sLine.data(), 1, sLine.size(), stderr);
}

}  // namespace relayd
