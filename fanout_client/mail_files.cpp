#include "fanout_client/mail_files.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dev_tools/dt_tcp_conn.h"
#include "dev_tools/file_handler.h"
#include "fanout_client/options.h"

namespace {

// A 4-byte big-endian length, as the package writes it before a field.
std::string LengthBytes(uint64_t ddwSize) {
    const uint32_t dwNet = htonl(static_cast<uint32_t>(ddwSize));
    return std::string(reinterpret_cast<const char*>(&dwNet), sizeof(dwNet));
}

// The content of the open file iFd, at most ddwLeft bytes: mapped read-only with its
// pages mapped at once when it is a regular file of nonzero size within ddwLeft (its size
// is checked as a 64-bit number before any size_t sees it), read otherwise. A file that
// cannot be mapped, for want of address space say, is read too.
bool LoadContent(int iFd, uint64_t ddwLeft, iovec& oMap, std::string& sRead) {
    struct stat oStat;
    if (fstat(iFd, &oStat) == 0 && S_ISREG(oStat.st_mode) && oStat.st_size > 0 &&
        static_cast<uint64_t>(oStat.st_size) <= ddwLeft) {
        const size_t nSize = static_cast<size_t>(oStat.st_size);
        void* p = mmap(nullptr, nSize, PROT_READ, MAP_PRIVATE | MAP_POPULATE, iFd, 0);
        if (p != MAP_FAILED) {
            oMap = {p, nSize};
            return true;
        }
    }
    return ReadOpenFile(iFd, sRead, static_cast<size_t>(ddwLeft));
}

}  // namespace

CMailFiles::~CMailFiles() {
    Close();
}

bool CMailFiles::Open(const VEC_STR& vecPaths, std::string& sErrMsg) {
    Close();
    uint64_t ddwLeft = kMaxTotalAttachSize;
    for (const std::string& sPath : vecPaths) {
        m_vecFiles.emplace_back();
        SAttachment& oFile = m_vecFiles.back();
        const int iFd = open(sPath.c_str(), O_RDONLY | O_CLOEXEC);
        const bool bOk = iFd >= 0 && LoadContent(iFd, ddwLeft, oFile.oMap, oFile.sRead);
        if (iFd >= 0) {
            close(iFd);
        }
        if (!bOk) {
            Close();
            sErrMsg = OpenFailedMessage(sPath);
            return false;
        }
        const uint64_t ddwSize =
            oFile.oMap.iov_base != nullptr ? oFile.oMap.iov_len : oFile.sRead.size();
        ddwLeft -= ddwSize;
        const std::string sName = CFileHandler::GetInstance().BaseName(sPath);
        oFile.sFieldHead = LengthBytes(sName.size()) + sName + LengthBytes(ddwSize);
    }
    return true;
}

bool CMailFiles::SendRecv(const std::string& sIp, uint16_t wPort, std::string& sPkg,
                          std::string& sErrMsg, uint32_t dwTimeout) const {
    std::vector<iovec> vecParts;
    vecParts.reserve(1 + 2 * m_vecFiles.size());
    vecParts.push_back({const_cast<char*>(sPkg.data()), sPkg.size()});
    for (const SAttachment& oFile : m_vecFiles) {
        vecParts.push_back({const_cast<char*>(oFile.sFieldHead.data()), oFile.sFieldHead.size()});
        vecParts.push_back(oFile.oMap.iov_base != nullptr
                               ? oFile.oMap
                               : iovec{const_cast<char*>(oFile.sRead.data()), oFile.sRead.size()});
    }
    return dt::CTcpConn::SendRecvPartsByHead2Tail3<PKG_SIZE_T>(
        sIp, wPort, vecParts.data(), vecParts.size(), sPkg, sErrMsg, dwTimeout);
}

void CMailFiles::Close() {
    for (const SAttachment& oFile : m_vecFiles) {
        if (oFile.oMap.iov_base != nullptr) {
            munmap(oFile.oMap.iov_base, oFile.oMap.iov_len);
        }
    }
    m_vecFiles.clear();
}
