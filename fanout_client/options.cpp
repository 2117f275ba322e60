#include "fanout_client/options.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>

#include "dev_tools/file_handler.h"
#include "dev_tools/utils.h"
#include "fanout_client/console.h"
#include "fanout_client/conv.h"
#include "fanout_client/settings.h"

namespace {

const uint32_t kMaxAttachCount = 20;

// Prints the red tag, a blank and the formatted message, then the usage text, and ends
// the process: the message was not sent.
[[noreturn]] __attribute__((format(printf, 2, 3))) void ExitInvalid(const std::string& sProgName,
                                                                    const char* szFmt, ...) {
    va_list args;
    va_start(args, szFmt);
    VPrintResult(RT_ERROR, szFmt, args);
    va_end(args);
    Usage(sProgName);
    exit(1);
}

// Help ends the run with status 0; a scanner error (unknown letter, missing value) and
// -t end it with status 1, since nothing was sent.
[[noreturn]] void ExitWithUsage(const std::string& sProgName, int iStatus) {
    Usage(sProgName);
    exit(iStatus);
}

void ScanOptions(int argc, char** argv, const std::string& sProgName) {
    // The channel word stands where a program name would, so the scanner's own
    // diagnostics name it.
    int ch;
    optopt = 0;
    while ((ch = getopt(argc - 1, argv + 1, "Hh?F:T:C:c:S:f:i:a:d:t:k:")) != -1) {
        switch (ch) {
            case 'F':
                g_sSender = optarg;
                break;
            case 'T':
                g_sRecver = optarg;
                break;
            case 'C':
                g_sCc = optarg;
                break;
            case 'c':
                g_sContent = optarg;
                break;
            case 'S':
                g_sTitle = optarg;
                break;
            case 'f':
                g_sContentFile = optarg;
                break;
            case 'i':
                g_sImgFile = optarg;
                break;
            case 'a':
                g_sAttachPaths = optarg;
                break;
            case 'd':
                g_sCodingFormat = optarg;
                break;
            case 'k':
                g_sSystemKeyId = optarg;
                break;
            case 'H':
            case 'h':
                ExitWithUsage(sProgName, 0);
            case '?':
                // The scanner sets optopt only for its own errors; -? itself leaves it 0.
                ExitWithUsage(sProgName, optopt == 0 ? 0 : 1);
            default:  // -t: the value is consumed and ignored
                ExitWithUsage(sProgName, 1);
        }
        optopt = 0;
    }
}

void CheckReceivers(const std::string& sProgName) {
    if (g_sSystemKeyId.empty() && g_sRecver.empty()) {
        ExitInvalid(sProgName, "Receiver(-T) must be specified!\n");
    }
    if (!CheckNameListValidity(g_sRecver) || !CheckNameListValidity(g_sCc)) {
        ExitInvalid(sProgName, "Receiver(-T) or CCer(-C) is invalid!\n");
    }
}

void CheckContentAndTitle(const std::string& sProgName) {
    std::string sErrMsg;
    if (g_eFunc == FT_MAIL && !g_sContentFile.empty() &&
        !ReadFile(g_sContentFile, g_sContent, sErrMsg)) {
        ExitInvalid(sProgName, "Can't open content_file('%s')\n", g_sContentFile.c_str());
    }
    if ((g_eFunc == FT_SMS || g_eFunc == FT_ZEPH) && g_sContent.empty()) {
        ExitInvalid(sProgName, "content(-c) must be specified!\n");
    }
    if (g_eFunc == FT_MAIL && g_sContent.empty()) {
        g_sContent = " ";
    }
    if (g_eFunc == FT_ZEPH && g_sSystemKeyId.empty() && g_sTitle.empty()) {
        ExitInvalid(sProgName, "title(-S) must be specified!\n");
    }
    if (g_eFunc == FT_LUMO && g_sContent.empty() && g_sImgFile.empty()) {
        ExitInvalid(sProgName, "At least one of (content(-c) / img(-i)) must be specified!\n");
    }
}

void CheckCodingAndConvert(const std::string& sProgName) {
    if (g_sCodingFormat != "gbk" && g_sCodingFormat != "utf8") {
        ExitInvalid(sProgName, "Can't recoganize coding format ('%s')\n", g_sCodingFormat.c_str());
    }
    if (g_sCodingFormat == "gbk") {
        g_sTitle = Conv2Utf8(g_sTitle);
        g_sContent = Conv2Utf8(g_sContent);
    }
}

// Sizes are summed as 64-bit numbers, so huge files or totals can never wrap around.
void CheckAttachments(const std::string& sProgName) {
    g_vecAttachPaths = SplitStringByChar<std::string>(g_sAttachPaths, ";", false);
    if (g_vecAttachPaths.size() > kMaxAttachCount) {
        ExitInvalid(sProgName, "Current attachment count(%u) should less than limit_count(%u)\n",
                    static_cast<unsigned>(g_vecAttachPaths.size()), kMaxAttachCount);
    }
    uint64_t dwTotalAttachSize = 0;
    for (const std::string& sPath : g_vecAttachPaths) {
        dwTotalAttachSize += CFileHandler::GetInstance().GetFileSize(sPath);
    }
    if (dwTotalAttachSize > kMaxTotalAttachSize) {
        ExitInvalid(sProgName, "Total attachment size(%s) should less than total_limit_size(4M)\n",
                    CObjSize::ReadableSize(dwTotalAttachSize).c_str());
    }
}

void ReadImage(const std::string& sProgName) {
    std::string sErrMsg;
    if (!ReadFile(g_sImgFile, g_sImgData, sErrMsg)) {
        ExitInvalid(sProgName, "Can't open img_file('%s')\n", g_sImgFile.c_str());
    }
}

// Reads from iFd until its end into sContent, straight into the string's own buffer
// (sized from nSizeHint, grown as needed). False on a read error, when more than
// nMaxBytes arrive, or when the buffer cannot grow: an endless or oversized input ends
// the read instead of the process. A string cannot grow past max_size() (about 1 GiB
// where size_t has 32 bits, less than a frame carries): that ends the read the same way.
bool ReadAll(int iFd, size_t nSizeHint, size_t nMaxBytes, std::string& sContent) {
    const size_t nCap = nMaxBytes + 1;  // one byte past the bound shows an input too long
    size_t nRead = 0;
    try {
        sContent.resize(std::min(nSizeHint + 1, nCap));  // a spare byte shows the end
        while (true) {
            if (nRead == sContent.size()) {
                if (nRead == nCap) {
                    return false;
                }
                // Doubles, without passing nCap or wrapping around.
                sContent.resize(nRead + std::min(nCap - nRead, std::max<size_t>(nRead, 4096)));
            }
            const ssize_t n = read(iFd, &sContent[nRead], sContent.size() - nRead);
            if (n == 0) {
                sContent.resize(nRead);
                return true;
            }
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            nRead += static_cast<size_t>(n);
        }
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

}  // namespace

bool Initialize(int argc, char** argv) {
    g_vecSvrIp.push_back(g_sSvrIp1);
    g_vecSvrIp.push_back(g_sSvrIp2);
    const std::string sProgName = argv[0];

    ScanOptions(argc, argv, sProgName);
    CheckReceivers(sProgName);
    CheckContentAndTitle(sProgName);
    CheckCodingAndConvert(sProgName);
    if (g_eFunc == FT_MAIL) {
        CheckAttachments(sProgName);
    }
    if (g_eFunc == FT_LUMO && !g_sImgFile.empty()) {
        ReadImage(sProgName);
    }
    return true;
}

bool CheckNameListValidity(const std::string& sNameList) {
    for (const char c : sNameList) {
        const bool bAllowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                              (c >= '0' && c <= '9') || c == ';' || c == '_' || c == '-';
        if (!bAllowed) {
            return false;
        }
    }
    return true;
}

std::string OpenFailedMessage(const std::string& sFilePath) {
    char szErrMsg[64];
    snprintf(szErrMsg, sizeof(szErrMsg), "Open file('%s') failed!", sFilePath.c_str());
    return szErrMsg;
}

// A file that opens but is no readable file (a folder, a read error, more bytes than
// allowed or than memory holds) fails like one that does not open, so nothing empty or
// cut short is ever sent in its place. A folder leaves sFileContent unchanged; any other
// failure leaves it empty and its memory released.
bool ReadOpenFile(int iFd, std::string& sFileContent, size_t nMaxBytes) {
    nMaxBytes = std::min(nMaxBytes, kMaxFileBytes);
    struct stat oStat;
    if (fstat(iFd, &oStat) != 0 || S_ISDIR(oStat.st_mode)) {
        return false;
    }
    // Read in place, so a string reused from file to file keeps its buffer.
    const uint64_t ddwSize = S_ISREG(oStat.st_mode) ? static_cast<uint64_t>(oStat.st_size) : 0;
    if (ddwSize <= nMaxBytes &&
        ReadAll(iFd, static_cast<size_t>(ddwSize), nMaxBytes, sFileContent)) {
        return true;
    }
    std::string().swap(sFileContent);
    return false;
}

bool ReadFile(const std::string& sFilePath, std::string& sFileContent, std::string& sErrMsg,
              size_t nMaxBytes) {
    const int iFd = open(sFilePath.c_str(), O_RDONLY | O_CLOEXEC);
    const bool bOk = iFd >= 0 && ReadOpenFile(iFd, sFileContent, nMaxBytes);
    if (iFd >= 0) {
        close(iFd);
    }
    if (!bOk) {
        sErrMsg = OpenFailedMessage(sFilePath);
    }
    return bOk;
}
