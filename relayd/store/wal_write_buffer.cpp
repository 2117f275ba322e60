#include "relayd/store/wal_write_buffer.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "relayd/record/log.h"

namespace relayd {

namespace {

const char* const kVfsName = "fanout-walbuf";
const int kWalHeaderBytes = 32;           // the log's own header, at offset 0
const int kFrameHeaderBytes = 24;         // before each page: page number, then the commit's size
const size_t kMaxBufferBytes = 4u << 20;  // a bigger commit goes out in pieces of this size
// The system's file layer writes at most 128 KiB - 1 bytes a call (it masks the length).
const size_t kMaxWriteBytes = (128u << 10) - (4u << 10);

// A file opened through this layer: the system's file follows this header in the same
// allocation. A database file knows its log and the log its database file, so that the
// database file's barrier (the moment a commit is published) can empty the log's buffer.
struct SBufferedFile {
    sqlite3_file m_oBase;  // first: what SQLite holds is a pointer to this
    SBufferedFile* m_pPeer;
    bool m_bWal;
    bool m_bCommitPage;  // the next write is the page of a commit frame
    sqlite3_int64 m_llStart;
    std::string m_sBuffer;
};

sqlite3_vfs* g_pSystemVfs = nullptr;
sqlite3_vfs g_oVfs;
extern const sqlite3_io_methods g_oMethods;

sqlite3_file* Real(sqlite3_file* pFile) {
    return reinterpret_cast<sqlite3_file*>(reinterpret_cast<SBufferedFile*>(pFile) + 1);
}

SBufferedFile* Buffered(sqlite3_file* pFile) {
    return reinterpret_cast<SBufferedFile*>(pFile);
}

int Flush(SBufferedFile* pFile) {
    if (pFile->m_sBuffer.empty()) {
        return SQLITE_OK;
    }
    sqlite3_file* pReal = Real(&pFile->m_oBase);
    int iRc = SQLITE_OK;
    for (size_t dwDone = 0; dwDone < pFile->m_sBuffer.size() && iRc == SQLITE_OK;
         dwDone += kMaxWriteBytes) {
        const size_t dwAmt = std::min(kMaxWriteBytes, pFile->m_sBuffer.size() - dwDone);
        iRc = pReal->pMethods->xWrite(pReal, pFile->m_sBuffer.data() + dwDone,
                                      static_cast<int>(dwAmt),
                                      pFile->m_llStart + static_cast<sqlite3_int64>(dwDone));
    }
    pFile->m_sBuffer.clear();
    return iRc;
}

// Frames are written as a 24-byte header, then the page; a header whose second word (the
// database's size after the commit) is not 0 marks the last frame of a commit.
bool IsCommitFrameHeader(const void* pData, int iAmt, sqlite3_int64 llOffset) {
    if (iAmt != kFrameHeaderBytes || llOffset < kWalHeaderBytes) {
        return false;
    }
    const unsigned char* pBytes = static_cast<const unsigned char*>(pData);
    return (pBytes[4] | pBytes[5] | pBytes[6] | pBytes[7]) != 0;
}

void Gather(SBufferedFile* pFile, const void* pData, int iAmt, sqlite3_int64 llOffset) {
    if (pFile->m_sBuffer.empty()) {
        pFile->m_llStart = llOffset;
    }
    const sqlite3_int64 llOffsetInBuffer = llOffset - pFile->m_llStart;
    const size_t dwAt = static_cast<size_t>(llOffsetInBuffer);
    const size_t dwAmt = static_cast<size_t>(iAmt);
    if (dwAt == pFile->m_sBuffer.size()) {
        pFile->m_sBuffer.append(static_cast<const char*>(pData), dwAmt);
    } else {
        pFile->m_sBuffer.replace(dwAt, dwAmt, static_cast<const char*>(pData), dwAmt);
    }
}

// Whether a write can join the buffer: it continues it or lies inside it.
bool Joins(const SBufferedFile* pFile, int iAmt, sqlite3_int64 llOffset) {
    if (pFile->m_sBuffer.empty()) {
        return true;
    }
    const sqlite3_int64 llEnd =
        pFile->m_llStart + static_cast<sqlite3_int64>(pFile->m_sBuffer.size());
    return llOffset == llEnd || (llOffset >= pFile->m_llStart && llOffset + iAmt <= llEnd);
}

int WalWrite(SBufferedFile* pFile, const void* pData, int iAmt, sqlite3_int64 llOffset) {
    if (!Joins(pFile, iAmt, llOffset)) {
        const int iRc = Flush(pFile);
        if (iRc != SQLITE_OK) {
            return iRc;
        }
    }
    Gather(pFile, pData, iAmt, llOffset);
    const bool bCommitEnds = pFile->m_bCommitPage;
    pFile->m_bCommitPage = IsCommitFrameHeader(pData, iAmt, llOffset);
    if (bCommitEnds || pFile->m_sBuffer.size() >= kMaxBufferBytes) {
        return Flush(pFile);
    }
    return SQLITE_OK;
}

int Close(sqlite3_file* pBase) {
    SBufferedFile* pFile = Buffered(pBase);
    const int iFlushRc = pFile->m_bWal ? Flush(pFile) : SQLITE_OK;
    if (pFile->m_pPeer != nullptr) {
        pFile->m_pPeer->m_pPeer = nullptr;
    }
    sqlite3_file* pReal = Real(pBase);
    const int iRc = pReal->pMethods->xClose(pReal);
    pFile->m_sBuffer.~basic_string();
    return iFlushRc != SQLITE_OK ? iFlushRc : iRc;
}

int Read(sqlite3_file* pBase, void* pOut, int iAmt, sqlite3_int64 llOffset) {
    const int iRc = Flush(Buffered(pBase));
    return iRc != SQLITE_OK ? iRc : Real(pBase)->pMethods->xRead(Real(pBase), pOut, iAmt, llOffset);
}

int Write(sqlite3_file* pBase, const void* pData, int iAmt, sqlite3_int64 llOffset) {
    SBufferedFile* pFile = Buffered(pBase);
    if (pFile->m_bWal) {
        return WalWrite(pFile, pData, iAmt, llOffset);
    }
    return Real(pBase)->pMethods->xWrite(Real(pBase), pData, iAmt, llOffset);
}

int Truncate(sqlite3_file* pBase, sqlite3_int64 llSize) {
    const int iRc = Flush(Buffered(pBase));
    return iRc != SQLITE_OK ? iRc : Real(pBase)->pMethods->xTruncate(Real(pBase), llSize);
}

int Sync(sqlite3_file* pBase, int iFlags) {
    const int iRc = Flush(Buffered(pBase));
    return iRc != SQLITE_OK ? iRc : Real(pBase)->pMethods->xSync(Real(pBase), iFlags);
}

int FileSize(sqlite3_file* pBase, sqlite3_int64* pSize) {
    const int iRc = Flush(Buffered(pBase));
    return iRc != SQLITE_OK ? iRc : Real(pBase)->pMethods->xFileSize(Real(pBase), pSize);
}

int Lock(sqlite3_file* pBase, int iLevel) {
    return Real(pBase)->pMethods->xLock(Real(pBase), iLevel);
}

int Unlock(sqlite3_file* pBase, int iLevel) {
    return Real(pBase)->pMethods->xUnlock(Real(pBase), iLevel);
}

int CheckReservedLock(sqlite3_file* pBase, int* pResult) {
    return Real(pBase)->pMethods->xCheckReservedLock(Real(pBase), pResult);
}

int FileControl(sqlite3_file* pBase, int iOp, void* pArg) {
    const int iRc = Flush(Buffered(pBase));
    return iRc != SQLITE_OK ? iRc : Real(pBase)->pMethods->xFileControl(Real(pBase), iOp, pArg);
}

int SectorSize(sqlite3_file* pBase) {
    return Real(pBase)->pMethods->xSectorSize(Real(pBase));
}

int DeviceCharacteristics(sqlite3_file* pBase) {
    return Real(pBase)->pMethods->xDeviceCharacteristics(Real(pBase));
}

int ShmMap(sqlite3_file* pBase, int iRegion, int iRegionBytes, int bExtend, void volatile** ppOut) {
    return Real(pBase)->pMethods->xShmMap(Real(pBase), iRegion, iRegionBytes, bExtend, ppOut);
}

int ShmLock(sqlite3_file* pBase, int iOffset, int n, int iFlags) {
    return Real(pBase)->pMethods->xShmLock(Real(pBase), iOffset, n, iFlags);
}

// Called between the two copies of a new log index header, the moment other connections
// may start to read the frames it names. Commits normally reached the file at their last
// frame already; should a frame still be here and fail to reach the file, publishing the
// header would show others a commit that is not there, and ending the process is the one
// way left to keep it unpublished (recovery at the next open checks every frame).
void ShmBarrier(sqlite3_file* pBase) {
    SBufferedFile* pWal = Buffered(pBase)->m_pPeer;
    if (pWal != nullptr && Flush(pWal) != SQLITE_OK) {
        LogLine(LL_ERROR, "store: a commit could not be written to the SQLite log; stopping");
        std::abort();
    }
    Real(pBase)->pMethods->xShmBarrier(Real(pBase));
}

int ShmUnmap(sqlite3_file* pBase, int bDelete) {
    return Real(pBase)->pMethods->xShmUnmap(Real(pBase), bDelete);
}

int Fetch(sqlite3_file* pBase, sqlite3_int64 llOffset, int iAmt, void** ppOut) {
    return Real(pBase)->pMethods->xFetch(Real(pBase), llOffset, iAmt, ppOut);
}

int Unfetch(sqlite3_file* pBase, sqlite3_int64 llOffset, void* pPage) {
    return Real(pBase)->pMethods->xUnfetch(Real(pBase), llOffset, pPage);
}

const sqlite3_io_methods g_oMethods = {3,
                                       Close,
                                       Read,
                                       Write,
                                       Truncate,
                                       Sync,
                                       FileSize,
                                       Lock,
                                       Unlock,
                                       CheckReservedLock,
                                       FileControl,
                                       SectorSize,
                                       DeviceCharacteristics,
                                       ShmMap,
                                       ShmLock,
                                       ShmBarrier,
                                       ShmUnmap,
                                       Fetch,
                                       Unfetch};

int Open(sqlite3_vfs* /*pVfs*/, const char* szName, sqlite3_file* pBase, int iFlags,
         int* pOutFlags) {
    SBufferedFile* pFile = Buffered(pBase);
    sqlite3_file* pReal = Real(pBase);
    pBase->pMethods = nullptr;
    const int iRc = g_pSystemVfs->xOpen(g_pSystemVfs, szName, pReal, iFlags, pOutFlags);
    if (iRc != SQLITE_OK || pReal->pMethods == nullptr) {
        if (pReal->pMethods != nullptr) {
            pReal->pMethods->xClose(pReal);
        }
        return iRc != SQLITE_OK ? iRc : SQLITE_CANTOPEN;
    }
    if (pReal->pMethods->iVersion < 3) {
        pReal->pMethods->xClose(pReal);
        return SQLITE_CANTOPEN;
    }
    pFile->m_pPeer = nullptr;
    pFile->m_bWal = (iFlags & SQLITE_OPEN_WAL) != 0;
    pFile->m_bCommitPage = false;
    pFile->m_llStart = 0;
    new (&pFile->m_sBuffer) std::string();
    if (pFile->m_bWal && szName != nullptr) {
        sqlite3_file* pDb = sqlite3_database_file_object(szName);
        if (pDb != nullptr && pDb->pMethods == &g_oMethods) {
            pFile->m_pPeer = Buffered(pDb);
            Buffered(pDb)->m_pPeer = pFile;
        }
    }
    pBase->pMethods = &g_oMethods;
    return SQLITE_OK;
}

void Register() {
    g_pSystemVfs = sqlite3_vfs_find(nullptr);
    if (g_pSystemVfs == nullptr) {
        return;
    }
    g_oVfs = *g_pSystemVfs;
    g_oVfs.szOsFile = static_cast<int>(sizeof(SBufferedFile)) + g_pSystemVfs->szOsFile;
    g_oVfs.pNext = nullptr;
    g_oVfs.zName = kVfsName;
    g_oVfs.xOpen = Open;
    if (sqlite3_vfs_register(&g_oVfs, 0) != SQLITE_OK) {
        g_pSystemVfs = nullptr;
    }
}

}  // namespace

const char* WalWriteBufferVfs() {
    static std::once_flag s_oOnce;
    std::call_once(s_oOnce, Register);
    return g_pSystemVfs != nullptr ? kVfsName : nullptr;
}

}  // namespace relayd
