#include "relayd/delivery/mail_format.h"

#include <ctime>

#include "relay_proto/utf8.h"
#include "relayd/record/text_codec.h"
#include "relayd/record/text_rules.h"

namespace relayd {

const char kFold[] = "\r\n ";

namespace {

// Bytes of text per encoded-word: 42 bytes are 56 base64 characters, 68 with the
// "=?UTF-8?B?" and "?=" around them, so "Subject: " and the first word stay within 78.
const size_t kWordBytes = 42;
// A title this long or shorter may go as it is ("Subject: " + 69 = 78 characters).
const size_t kMaxPlainSubject = 69;
// Quoted names up to this length keep the disposition line within 78 characters.
const size_t kMaxQuotedName = 40;
// Percent-encoded characters per RFC 2231 continuation line.
const size_t kSectionChars = 60;
const size_t kMaxLine = 78;

bool PrintableAscii(char c) {
    return c > 0x20 && c < 0x7F;
}

bool PlainSubject(const std::string& sTitle) {
    if (sTitle.size() > kMaxPlainSubject || sTitle.find("=?") != std::string::npos) {
        return false;
    }
    for (size_t i = 0; i < sTitle.size(); ++i) {
        const bool bInnerSpace = sTitle[i] == ' ' && i > 0 && i + 1 < sTitle.size() &&
                                 sTitle[i - 1] != ' ' && sTitle[i + 1] != ' ';
        if (!PrintableAscii(sTitle[i]) && !bInnerSpace) {
            return false;
        }
    }
    return true;
}

bool QuotableName(const std::string& sName) {
    if (sName.size() > kMaxQuotedName) {
        return false;
    }
    for (const char c : sName) {
        if ((!PrintableAscii(c) && c != ' ') || c == '"' || c == '\\') {
            return false;
        }
    }
    return true;
}

// The name percent-encoded, as pieces that are never split inside a "%XX" triplet.
std::vector<std::string> PercentSections(const std::string& sName) {
    std::vector<std::string> vecSections(1);
    for (const char c : sName) {
        const std::string sPiece = PercentEncode(std::string(1, c));
        if (vecSections.back().size() + sPiece.size() > kSectionChars) {
            vecSections.emplace_back();
        }
        vecSections.back() += sPiece;
    }
    return vecSections;
}

}  // namespace

std::vector<std::string> EncodedWords(const std::string& sText) {
    std::vector<std::string> vecWords;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(sText.data());
    size_t nStart = 0;
    while (nStart < sText.size()) {
        size_t nEnd = nStart;
        while (nEnd < sText.size()) {
            // A malformed byte counts as one character of its own.
            size_t nLen = relay_proto::Utf8SequenceLength(p + nEnd, sText.size() - nEnd);
            nLen = (nLen == 0) ? 1 : nLen;
            if (nEnd + nLen - nStart > kWordBytes) {
                break;
            }
            nEnd += nLen;
        }
        vecWords.push_back("=?UTF-8?B?" + Base64(sText.substr(nStart, nEnd - nStart)) + "?=");
        nStart = nEnd;
    }
    return vecWords;
}

std::string SubjectHeader(const std::string& sTitle) {
    if (PlainSubject(sTitle)) {
        return "Subject: " + sTitle;
    }
    std::string sHeader = "Subject:";
    const std::vector<std::string> vecWords = EncodedWords(sTitle);
    for (size_t i = 0; i < vecWords.size(); ++i) {
        sHeader += (i == 0) ? " " : kFold;
        sHeader += vecWords[i];
    }
    return sHeader;
}

std::string DispositionHeader(const std::string& sName) {
    if (QuotableName(sName)) {
        return "Content-Disposition: attachment; filename=\"" + sName + "\"";
    }
    const std::vector<std::string> vecSections = PercentSections(sName);
    std::string sHeader = "Content-Disposition: attachment;";
    if (vecSections.size() == 1) {
        return sHeader + kFold + "filename*=UTF-8''" + vecSections[0];
    }
    for (size_t i = 0; i < vecSections.size(); ++i) {
        sHeader += kFold;
        sHeader += "filename*" + std::to_string(i) + "*=";
        sHeader += (i == 0) ? "UTF-8''" : "";
        sHeader += vecSections[i];
        sHeader += (i + 1 < vecSections.size()) ? ";" : "";
    }
    return sHeader;
}

bool MailAddresses(const std::vector<std::string>& vecNames, const std::string& sDomain,
                   std::vector<std::string>& vecAddresses, std::string& sBadName) {
    vecAddresses.clear();
    for (const std::string& sName : vecNames) {
        if (!IsName(sName)) {
            sBadName = sName;
            return false;
        }
        vecAddresses.push_back(sName + "@" + sDomain);
    }
    return true;
}

std::string AddressHeader(const std::string& sName, const std::vector<std::string>& vecAddresses) {
    std::string sHeader = sName + ":";
    size_t nLineLen = sHeader.size();
    for (size_t i = 0; i < vecAddresses.size(); ++i) {
        const std::string sItem = vecAddresses[i] + (i + 1 < vecAddresses.size() ? "," : "");
        if (i > 0 && nLineLen + 1 + sItem.size() > kMaxLine) {
            sHeader += "\r\n";
            nLineLen = 0;
        }
        sHeader += " " + sItem;
        nLineLen += 1 + sItem.size();
    }
    return sHeader;
}

std::string MailDate(int64_t llUnixMs) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const time_t tSeconds = static_cast<time_t>(llUnixMs / 1000);
    struct tm oTm = {};
    gmtime_r(&tSeconds, &oTm);
    char szDate[64];
    snprintf(szDate, sizeof(szDate), "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[oTm.tm_wday],
             oTm.tm_mday, kMonths[oTm.tm_mon], oTm.tm_year + 1900, oTm.tm_hour, oTm.tm_min,
             oTm.tm_sec);
    return szDate;
}

std::string MessageIdHeaderValue(int64_t llId, int64_t llReceivedAtMs, const std::string& sHost) {
    return "<fanout." + std::to_string(llId) + "." + std::to_string(llReceivedAtMs) + "@" + sHost +
           ">";
}

}  // namespace relayd
