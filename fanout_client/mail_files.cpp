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

// The whole content of a regular file of nonzero size, mapped read-only with its pages
// mapped at once; iov_base null otherwise.
iovec MapRegularFile(const std::string& sPath) {
    iovec oMap = {nullptr, 0};
    const int iFd = open(sPath.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat oStat;
    if (iFd >= 0 && fstat(iFd, &oStat) == 0 && S_ISREG(oStat.st_mode) && oStat.st_size > 0) {
        const size_t nSize = static_cast<size_t>(oStat.st_size);
        void* p = mmap(nullptr, nSize, PROT_READ, MAP_PRIVATE | MAP_POPULATE, iFd, 0);
        if (p != MAP_FAILED) {
            oMap = {p, nSize};
        }
    }
    if (iFd >= 0) {
        close(iFd);
    }
    return oMap;
}

}  // namespace

CMailFiles::~CMailFiles() {
    Close();
}

bool CMailFiles::Open(const VEC_STR& vecPaths) {
    Close();
    uint64_t ddwTotal = 0;
    for (const std::string& sPath : vecPaths) {
        const iovec oMap = MapRegularFile(sPath);
        if (oMap.iov_base != nullptr) {
            m_vecMaps.push_back(oMap);
            ddwTotal += oMap.iov_len;
        }
        // A file that grew past the total checked from the sizes goes the read path,
        // which holds every attachment to that total.
        if (oMap.iov_base == nullptr || ddwTotal > kMaxTotalAttachSize) {
            Close();
            return false;
        }
        const std::string sName = CFileHandler::GetInstance().BaseName(sPath);
        m_vecFieldHeads.push_back(LengthBytes(sName.size()) + sName + LengthBytes(oMap.iov_len));
    }
    return true;
}

bool CMailFiles::SendRecv(const std::string& sIp, uint16_t wPort, std::string& sPkg,
                          std::string& sErrMsg, uint32_t dwTimeout) const {
    std::vector<iovec> vecParts;
    vecParts.reserve(1 + 2 * m_vecMaps.size());
    vecParts.push_back({const_cast<char*>(sPkg.data()), sPkg.size()});
    for (size_t i = 0; i < m_vecMaps.size(); ++i) {
        vecParts.push_back(
            {const_cast<char*>(m_vecFieldHeads[i].data()), m_vecFieldHeads[i].size()});
        vecParts.push_back(m_vecMaps[i]);
    }
    return dt::CTcpConn::SendRecvPartsByHead2Tail3<PKG_SIZE_T>(
        sIp, wPort, vecParts.data(), vecParts.size(), sPkg, sErrMsg, dwTimeout);
}

void CMailFiles::Close() {
    for (const iovec& oMap : m_vecMaps) {
        munmap(oMap.iov_base, oMap.iov_len);
    }
    m_vecMaps.clear();
    m_vecFieldHeads.clear();
}
