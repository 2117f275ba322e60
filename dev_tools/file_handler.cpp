#include "dev_tools/file_handler.h"

#include <dirent.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "dev_tools/file_path.h"

// static
CFileHandler* CFileHandler::m_pInstance = nullptr;

// static
CFileHandler& CFileHandler::GetInstance() {
    // Single-threaded process: the first call happens before any other use. The instance
    // is never freed, so it outlives every static that might still use it at exit.
    if (m_pInstance == nullptr) {
        m_pInstance = new CFileHandler();
    }
    return *m_pInstance;
}

std::string CFileHandler::DirName(const std::string& sPath) const {
    return FilePath(sPath).DirName().value();
}

std::string CFileHandler::BaseName(const std::string& sPath) const {
    return FilePath(sPath).BaseName().value();
}

std::string CFileHandler::Extension(const std::string& sPath) const {
    return FilePath(sPath).Extension();
}

bool CFileHandler::IsPathExists(const std::string& sPath) {
    return access(sPath.c_str(), F_OK) == 0;
}

bool CFileHandler::IsDirExists(const std::string& sDirPath) {
    struct stat oStat;
    return stat(sDirPath.c_str(), &oStat) == 0 && S_ISDIR(oStat.st_mode);
}

bool CFileHandler::CreateDirectory(const std::string& sFullPath) {
    // The chain of levels from sFullPath up to the fixed point of DirName ("/" or ".").
    std::vector<FilePath> vecLevels(1, FilePath(sFullPath));
    for (FilePath oParent = vecLevels.back().DirName(); oParent != vecLevels.back();
         oParent = vecLevels.back().DirName()) {
        vecLevels.push_back(oParent);
    }

    for (std::vector<FilePath>::const_reverse_iterator it = vecLevels.rbegin();
         it != vecLevels.rend(); ++it) {
        const std::string& sLevel = it->value();
        if (IsDirExists(sLevel)) {
            continue;
        }
        // A failed mkdir is fine when someone else made the level meanwhile.
        if (mkdir(sLevel.c_str(), S_IRWXU) != 0 && !IsDirExists(sLevel)) {
            return false;
        }
    }
    return true;
}

bool CFileHandler::ReadColumnData(const std::string& sFilePath, column_data_t& vecColumns,
                                  const std::string& sDelims) {
    std::ifstream ifs(sFilePath.c_str());
    if (!ifs.is_open()) {
        return false;
    }

    std::string sLine;
    while (std::getline(ifs, sLine)) {
        if (sLine.empty()) {
            continue;
        }
        // Runs of delimiters count as one separator; no column is ever empty.
        std::vector<std::string> vecRow;
        std::string::size_type dwBeginPos = sLine.find_first_not_of(sDelims);
        while (dwBeginPos != std::string::npos) {
            std::string::size_type dwEndPos = sLine.find_first_of(sDelims, dwBeginPos);
            if (dwEndPos == std::string::npos) {
                dwEndPos = sLine.length();
            }
            vecRow.push_back(sLine.substr(dwBeginPos, dwEndPos - dwBeginPos));
            dwBeginPos = sLine.find_first_not_of(sDelims, dwEndPos);
        }
        vecColumns.push_back(vecRow);
    }
    return true;
}

// readdir rather than the deprecated readdir_r: the stream belongs to this call alone, and
// readdir on a stream that no other thread touches is safe.
bool CFileHandler::ReadDirectory(std::vector<SFileInfo>& vecFiles, const std::string& sDirPath,
                                 bool bShowLink) {
    DIR* pDir = opendir(sDirPath.c_str());
    if (pDir == nullptr) {
        return false;
    }

    // The end of the stream and a read error both end the listing.
    for (const struct dirent* pEntry = readdir(pDir); pEntry != nullptr; pEntry = readdir(pDir)) {
        SFileInfo oInfo;
        oInfo.sFileName = pEntry->d_name;
        const std::string sFullName = sDirPath + "/" + oInfo.sFileName;
        const int iRet = bShowLink ? lstat(sFullName.c_str(), &oInfo.stat)
                                   : stat(sFullName.c_str(), &oInfo.stat);
        if (iRet != 0) {
            memset(&oInfo.stat, 0, sizeof(oInfo.stat));
        }
        vecFiles.push_back(oInfo);
    }

    closedir(pDir);
    return true;
}

uint64_t CFileHandler::GetFileSize(const std::string& sPath) const {
    struct stat oStat;
    if (stat(sPath.c_str(), &oStat) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(oStat.st_size);
}

std::string& CFileHandler::TrimString(std::string& sStr, const std::string& sDelims) {
    const std::string::size_type dwLastKept = sStr.find_last_not_of(sDelims);
    if (dwLastKept == std::string::npos) {
        // Only delimiters (or nothing at all).
        sStr.clear();
        return sStr;
    }
    sStr.erase(dwLastKept + 1);
    sStr.erase(0, sStr.find_first_not_of(sDelims));
    return sStr;
}
