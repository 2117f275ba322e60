#include "relayd/http/http_files.h"

#include "relayd/record/text_codec.h"

namespace relayd {

namespace {

bool StartsWith(const std::string& sData, size_t nOffset, const char* szMagic, size_t nLen) {
    return sData.size() >= nOffset + nLen && sData.compare(nOffset, nLen, szMagic, nLen) == 0;
}

}  // namespace

std::string ContentDisposition(const char* szDisposition, const std::string& sName) {
    std::string sPlain;
    for (unsigned char c : sName) {
        const bool bPlainOk =
            c >= 0x20 && c < 0x7f && c != '"' && c != '\\' && c != '%' && c != ';';
        sPlain += bPlainOk ? static_cast<char>(c) : '_';
    }
    std::string sEncoded = PercentEncode(sName);
    if (sPlain.empty()) {
        sPlain = "download";
        sEncoded = "download";
    }
    return std::string(szDisposition) + "; filename=\"" + sPlain + "\"; filename*=UTF-8''" +
           sEncoded;
}

const char* SniffImageType(const std::string& sData) {
    if (StartsWith(sData, 0, "\x89PNG\r\n\x1a\n", 8)) {
        return "image/png";
    }
    if (StartsWith(sData, 0, "\xff\xd8\xff", 3)) {
        return "image/jpeg";
    }
    if (StartsWith(sData, 0, "GIF87a", 6) || StartsWith(sData, 0, "GIF89a", 6)) {
        return "image/gif";
    }
    if (StartsWith(sData, 0, "RIFF", 4) && StartsWith(sData, 8, "WEBP", 4)) {
        return "image/webp";
    }
    return "application/octet-stream";
}

}  // namespace relayd
