#include "fuzz/gbk_model.h"

#include "fuzz/fuzz_check.h"
#include "xconv/xconv_tables.h"

namespace fuzz {

namespace {

const unsigned kEuro = 0x20AC;    // the single byte 80
const unsigned kByteFf = 0xF8F5;  // the single byte FF

bool IsLeadByte(uint8_t c) {
    return c >= 0x81 && c <= 0xFE;
}

bool IsTrailByte(uint8_t t) {
    return t >= 0x40 && t <= 0xFE && t != 0x7F;
}

unsigned DecodeCode(uint8_t cLead, uint8_t cTrail) {
    return __map_gbk2utf16[(cLead << 8 | cTrail) - XCONV_G2U_BASE];
}

// Two-byte code of every value some code decodes to, 0 for the others. Built once from the
// decoding table, which it checks on the way: one value per code, and never a value that the
// encoder writes as a single byte.
const std::vector<uint16_t>& EncodeTable() {
    static const std::vector<uint16_t> vecCodes = [] {
        std::vector<uint16_t> vecBuilt(0x10000, 0);
        for (unsigned cLead = 0x81; cLead <= 0xFE; ++cLead) {
            for (unsigned cTrail = 0x40; cTrail <= 0xFE; ++cTrail) {
                if (!IsTrailByte(static_cast<uint8_t>(cTrail))) {
                    continue;
                }
                const unsigned dwValue =
                    DecodeCode(static_cast<uint8_t>(cLead), static_cast<uint8_t>(cTrail));
                FUZZ_CHECK(dwValue != 0);  // every code is mapped
                FUZZ_CHECK(dwValue >= 0x80 && dwValue != kEuro && dwValue != kByteFf);
                FUZZ_CHECK(vecBuilt[dwValue] == 0);  // one to one
                vecBuilt[dwValue] = static_cast<uint16_t>(cLead << 8 | cTrail);
            }
        }
        return vecBuilt;
    }();
    return vecCodes;
}

// Writes into the image, refusing what does not fit: the converters' "needs n".
class CImageWriter {
public:
    CImageWriter(SConvModel& oModel, unsigned nRoom) : m_oModel(oModel) {
        m_oModel.vecImg.assign(nRoom, kUntouched);
    }

    bool Fits(size_t n) const { return m_nPos + n <= m_oModel.vecImg.size(); }
    void Put(uint8_t c) { m_oModel.vecImg[m_nPos++] = c; }
    void PutUtf8(unsigned dwValue) {
        if (dwValue < 0x80) {
            Put(static_cast<uint8_t>(dwValue));
        } else if (dwValue < 0x800) {
            Put(static_cast<uint8_t>(0xC0 | dwValue >> 6));
            Put(static_cast<uint8_t>(0x80 | (dwValue & 0x3F)));
        } else {
            Put(static_cast<uint8_t>(0xE0 | dwValue >> 12));
            Put(static_cast<uint8_t>(0x80 | (dwValue >> 6 & 0x3F)));
            Put(static_cast<uint8_t>(0x80 | (dwValue & 0x3F)));
        }
    }
    // A zero byte at position nAt when it lies inside the room.
    void Terminate(size_t nAt) {
        if (nAt < m_oModel.vecImg.size()) {
            m_oModel.vecImg[nAt] = 0;
        }
    }
    size_t Pos() const { return m_nPos; }

    void NoRoom() {
        m_oModel.nRet = -1;
        m_oModel.nOutLen = static_cast<unsigned>(m_oModel.vecImg.size());
    }
    void Finish(int nBad) {
        m_oModel.nRet = nBad;
        m_oModel.nOutLen = static_cast<unsigned>(m_nPos);
    }

private:
    SConvModel& m_oModel;
    size_t m_nPos = 0;
};

unsigned Utf8SequenceLength(uint8_t c) {
    if (c < 0x80) {
        return 1;
    }
    if (c >= 0xC0 && c <= 0xDF) {
        return 2;
    }
    if (c >= 0xE0 && c <= 0xEF) {
        return 3;
    }
    return (c >= 0xF0 && c <= 0xF7) ? 4 : 0;
}

}  // namespace

SConvModel ModelGbk2Utf8(const uint8_t* pIn, int nInLen, unsigned nRoom, bool bIgnoreOneErrByte) {
    SConvModel oModel;
    CImageWriter oOut(oModel, nRoom);
    const size_t nLen = nInLen > 0 ? static_cast<size_t>(nInLen) : 0;
    int nBad = 0;
    size_t i = 0;
    while (i < nLen && pIn[i] != 0) {
        const uint8_t c = pIn[i];
        if (c < 0x80) {
            if (!oOut.Fits(1)) {
                oOut.NoRoom();
                return oModel;
            }
            oOut.Put(c);
            ++i;
            continue;
        }
        if (c == 0x80 || c == 0xFF) {
            if (!oOut.Fits(3)) {
                oOut.NoRoom();
                return oModel;
            }
            oOut.PutUtf8(c == 0x80 ? kEuro : kByteFf);
            ++i;
            continue;
        }
        if (i + 1 == nLen) {
            // A lead byte cut off by in_len: a space if it fits, no terminator, not counted.
            if (oOut.Fits(1)) {
                oOut.Put(' ');
            }
            oOut.Finish(nBad);
            return oModel;
        }
        const uint8_t t = pIn[i + 1];
        if (t == 0) {
            ++nBad;
            break;
        }
        const unsigned dwValue = IsTrailByte(t) ? DecodeCode(c, t) : 0;
        if (dwValue != 0) {
            if (!oOut.Fits(3)) {
                oOut.NoRoom();
                return oModel;
            }
            oOut.PutUtf8(dwValue);
            i += 2;
            continue;
        }
        if (!oOut.Fits(1)) {
            oOut.NoRoom();
            return oModel;
        }
        oOut.Put(' ');
        const size_t nTaken = (IsTrailByte(t) || !bIgnoreOneErrByte || t == 0x7F) ? 2 : 1;
        nBad += static_cast<int>(nTaken);
        i += nTaken;
    }
    oOut.Terminate(oOut.Pos());
    oOut.Finish(nBad);
    return oModel;
}

SConvModel ModelUtf82Gbk(const uint8_t* pIn, unsigned nInLen, unsigned nRoom) {
    static const uint8_t kPadding[2] = {0xA1, 0xF5};
    const std::vector<uint16_t>& vecCodes = EncodeTable();
    SConvModel oModel;
    CImageWriter oOut(oModel, nRoom);
    int nBad = 0;
    bool bLastConverted = true;
    size_t i = 0;
    while (i < nInLen && pIn[i] != 0) {
        const uint8_t c = pIn[i];
        const unsigned nSeq = Utf8SequenceLength(c);
        if (nSeq == 0) {
            ++nBad;
            ++i;
            continue;
        }
        // The bytes of the sequence inside the input, which ends at in_len or a zero byte.
        unsigned nPresent = 1;
        while (nPresent < nSeq && i + nPresent < nInLen && pIn[i + nPresent] != 0) {
            ++nPresent;
        }
        if (nSeq == 4 || nPresent < nSeq) {
            if (!oOut.Fits(2)) {
                oOut.NoRoom();
                return oModel;
            }
            oOut.Put(kPadding[0]);
            oOut.Put(kPadding[1]);
            nBad += static_cast<int>(nPresent);
            i += nPresent;
            continue;
        }
        unsigned dwValue = c;
        if (nSeq == 2) {
            dwValue = (c & 0x1Fu) << 6 | (pIn[i + 1] & 0x3Fu);
        } else if (nSeq == 3) {
            dwValue = (c & 0x0Fu) << 12 | (pIn[i + 1] & 0x3Fu) << 6 | (pIn[i + 2] & 0x3Fu);
        }
        const bool bSingle = nSeq == 1 || dwValue == kEuro || dwValue == kByteFf;
        if (!oOut.Fits(bSingle ? 1 : 2)) {
            oOut.NoRoom();
            return oModel;
        }
        if (bSingle) {
            oOut.Put(nSeq == 1 ? c : dwValue == kEuro ? 0x80 : 0xFF);
        } else if (vecCodes[dwValue] != 0) {
            oOut.Put(static_cast<uint8_t>(vecCodes[dwValue] >> 8));
            oOut.Put(static_cast<uint8_t>(vecCodes[dwValue] & 0xFF));
        } else {
            // Unmapped: one padding for a run, only the first byte consumed.
            if (bLastConverted) {
                oOut.Put(kPadding[0]);
                oOut.Put(kPadding[1]);
            }
            ++nBad;
            ++i;
            bLastConverted = false;
            continue;
        }
        i += nSeq;
        bLastConverted = true;
    }
    oOut.Terminate(oOut.Pos());
    oOut.Terminate(oOut.Pos() + 1);
    oOut.Finish(nBad);
    return oModel;
}

std::string WrittenBytes(const SConvModel& oModel, size_t nEnd) {
    std::string sBytes;
    for (size_t i = 0; i < nEnd; ++i) {
        sBytes += static_cast<char>(oModel.vecImg[i]);
    }
    return sBytes;
}

std::string CleanGbk(const std::string& sRaw) {
    std::string sClean;
    for (size_t i = 0; i < sRaw.size(); ++i) {
        const uint8_t c = static_cast<uint8_t>(sRaw[i]);
        if (c != 0 && !IsLeadByte(c)) {
            sClean += sRaw[i];
        } else if (IsLeadByte(c) && i + 1 < sRaw.size() &&
                   IsTrailByte(static_cast<uint8_t>(sRaw[i + 1]))) {
            sClean.append(sRaw, i, 2);
            ++i;
        }
    }
    return sClean;
}

}  // namespace fuzz
