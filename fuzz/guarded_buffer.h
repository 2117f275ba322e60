// Buffers of exact sizes for the converters under test. Built with AddressSanitizer each is a
// heap block of exactly its size, so that any access past it is reported at once; otherwise
// guard bytes follow an output buffer's room and are checked afterwards.
#ifndef FUZZ_GUARDED_BUFFER_H
#define FUZZ_GUARDED_BUFFER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_check.h"

#if defined(__SANITIZE_ADDRESS__)
#define FUZZ_HAS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FUZZ_HAS_ASAN 1
#endif
#endif

namespace fuzz {

class CGuardedBuffer {
public:
    // nRoom bytes, each set to cFill, like the guard bytes.
    CGuardedBuffer(size_t nRoom, char cFill)
        : m_nRoom(nRoom), m_cFill(cFill), m_pBuf(new char[nRoom + kGuard]) {
        memset(m_pBuf.get(), cFill, nRoom + kGuard);
    }
    ~CGuardedBuffer() {
        for (size_t i = 0; i < kGuard; ++i) {
            FUZZ_CHECK(m_pBuf[m_nRoom + i] == m_cFill);  // nothing written past the room
        }
    }
    CGuardedBuffer(const CGuardedBuffer&) = delete;
    CGuardedBuffer& operator=(const CGuardedBuffer&) = delete;

    char* Data() { return m_pBuf.get(); }
    size_t Room() const { return m_nRoom; }
    char operator[](size_t i) const { return m_pBuf[i]; }

private:
#ifdef FUZZ_HAS_ASAN
    static constexpr size_t kGuard = 0;
#else
    static constexpr size_t kGuard = 16;
#endif
    size_t m_nRoom;
    char m_cFill;
    std::unique_ptr<char[]> m_pBuf;
};

// The first nSize bytes at pData in a block of their own (never null, even when empty), so that
// reading past a length the converter was given is an overflow too.
inline std::unique_ptr<uint8_t[]> ExactCopy(const uint8_t* pData, size_t nSize) {
    std::unique_ptr<uint8_t[]> pCopy(new uint8_t[nSize]);
    if (nSize > 0) {
        memcpy(pCopy.get(), pData, nSize);
    }
    return pCopy;
}

}  // namespace fuzz

#endif  // FUZZ_GUARDED_BUFFER_H
