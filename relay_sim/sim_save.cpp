#include "relay_sim/sim_save.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "dev_tools/utils.h"

namespace relay_sim {

namespace {

const size_t kMaxNameBytes = 255;
const int kMaxFolderTries = 100;

bool MakeFolder(const std::string& sBase, std::string& sFolder, std::string& sErrMsg) {
    for (int i = 0; i < kMaxFolderTries; ++i) {
        sFolder = (i == 0) ? sBase : sBase + "." + to_str(static_cast<uint64_t>(i));
        if (mkdir(sFolder.c_str(), 0755) == 0) {
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    sErrMsg = "cannot create " + sFolder + ": " + strerror(errno);
    return false;
}

// Creates sPath (never through a symbolic link, never over an existing file).
bool WriteNewFile(const std::string& sPath, const std::string& sData, std::string& sErrMsg) {
    const int iFd = open(sPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool bOk = iFd >= 0;
    for (size_t nDone = 0; bOk && nDone < sData.size();) {
        const ssize_t n = write(iFd, sData.data() + nDone, sData.size() - nDone);
        if (n < 0 && errno != EINTR) {
            bOk = false;
        } else if (n > 0) {
            nDone += static_cast<size_t>(n);
        }
    }
    if (!bOk) {
        sErrMsg = "cannot write " + sPath + ": " + strerror(errno);
    }
    if (iFd >= 0 && close(iFd) != 0 && bOk) {
        sErrMsg = "cannot write " + sPath + ": " + strerror(errno);
        bOk = false;
    }
    return bOk;
}

}  // namespace

std::string SafeFileName(const std::string& sName) {
    const size_t nSlash = sName.rfind('/');
    std::string sSafe = (nSlash == std::string::npos) ? sName : sName.substr(nSlash + 1);
    for (char& c : sSafe) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            c = '_';
        }
    }
    if (sSafe.size() > kMaxNameBytes) {
        sSafe.resize(kMaxNameBytes);
    }
    return (sSafe == "." || sSafe == "..") ? std::string() : sSafe;
}

bool SaveRequest(const std::string& sDir, uint64_t ddwSeq, const relay_proto::SRequest& oReq,
                 std::string& sSavedDir, std::string& sErrMsg) {
    sSavedDir.clear();
    if (oReq.m_sImage.empty() && oReq.m_vecAttachments.empty()) {
        return true;
    }
    std::string sFolder;
    if (!MakeFolder(sDir + "/" + to_str(ddwSeq) + "-" + relay_proto::ChannelName(oReq.m_eChannel),
                    sFolder, sErrMsg)) {
        return false;
    }
    sSavedDir = sFolder;
    if (!oReq.m_sImage.empty() && !WriteNewFile(sFolder + "/image", oReq.m_sImage, sErrMsg)) {
        return false;
    }
    std::set<std::string> setUsed{"image"};
    for (size_t i = 0; i < oReq.m_vecAttachments.size(); ++i) {
        std::string sName = SafeFileName(oReq.m_vecAttachments[i].m_sName);
        if (sName.empty() || setUsed.count(sName) != 0) {
            sName = "attachment-" + to_str(i + 1);
            while (setUsed.count(sName) != 0) {
                sName += '_';
            }
        }
        setUsed.insert(sName);
        if (!WriteNewFile(sFolder + "/" + sName, oReq.m_vecAttachments[i].m_sData, sErrMsg)) {
            return false;
        }
    }
    return true;
}

}  // namespace relay_sim
