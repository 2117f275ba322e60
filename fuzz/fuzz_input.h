// Takes typed values off the front of a fuzz input. Every taker is total: when the input runs
// out it returns zero or a short/empty string, so any byte string is a valid input.
#ifndef FUZZ_FUZZ_INPUT_H
#define FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

class CFuzzInput {
public:
    CFuzzInput(const uint8_t* pData, size_t nSize) : m_pData(pData), m_nLeft(nSize) {}

    uint8_t TakeByte() {
        if (m_nLeft == 0) {
            return 0;
        }
        --m_nLeft;
        return *m_pData++;
    }

    // nBytes bytes, most significant first (nBytes <= 8).
    uint64_t TakeNumber(size_t nBytes) {
        uint64_t ddwValue = 0;
        for (size_t i = 0; i < nBytes; ++i) {
            ddwValue = (ddwValue << 8) | TakeByte();
        }
        return ddwValue;
    }

    // A string of the length given by the next byte (fewer bytes when the input ends).
    std::string TakeString() { return TakeBytes(TakeByte()); }

    std::string TakeBytes(size_t nBytes) {
        if (nBytes > m_nLeft) {
            nBytes = m_nLeft;
        }
        std::string sBytes(reinterpret_cast<const char*>(m_pData), nBytes);
        m_pData += nBytes;
        m_nLeft -= nBytes;
        return sBytes;
    }

    std::string TakeRest() { return TakeBytes(m_nLeft); }

    // The rest stays in place: the bytes up to the input's very end, not copied.
    const uint8_t* Rest() const { return m_pData; }
    size_t Left() const { return m_nLeft; }

private:
    const uint8_t* m_pData;
    size_t m_nLeft;
};

}  // namespace fuzz

#endif  // FUZZ_FUZZ_INPUT_H
