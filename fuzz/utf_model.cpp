#include "fuzz/utf_model.h"

namespace fuzz {

std::string ModelUtf8Form(uint16_t wValue) {
    std::string sForm;
    if (wValue < 0x80) {
        sForm += static_cast<char>(wValue);
    } else if (wValue < 0x800) {
        sForm += static_cast<char>(0xC0 | wValue >> 6);
        sForm += static_cast<char>(0x80 | (wValue & 0x3F));
    } else {
        sForm += static_cast<char>(0xE0 | wValue >> 12);
        sForm += static_cast<char>(0x80 | (wValue >> 6 & 0x3F));
        sForm += static_cast<char>(0x80 | (wValue & 0x3F));
    }
    return sForm;
}

unsigned ModelUtf8SequenceLength(uint8_t c) {
    if (c < 0x80) {
        return 1;
    }
    if (c < 0xC0) {
        return 0;
    }
    if (c < 0xE0) {
        return 2;
    }
    if (c < 0xF0) {
        return 3;
    }
    return c < 0xF8 ? 4 : 0;
}

uint16_t ModelUtf8Decode(const uint8_t* pIn) {
    switch (ModelUtf8SequenceLength(pIn[0])) {
        case 1:
            return pIn[0];
        case 2:
            return static_cast<uint16_t>((pIn[0] & 0x1F) << 6 | (pIn[1] & 0x3F));
        default:
            return static_cast<uint16_t>((pIn[0] & 0x0F) << 12 | (pIn[1] & 0x3F) << 6 |
                                         (pIn[2] & 0x3F));
    }
}

int ModelUtf16To8(const uint16_t* pIn, int nInLen, unsigned nOutSize, std::string& sOut) {
    if (nOutSize < 2) {
        if (nOutSize == 1) {
            sOut += '\0';
        }
        return 0;
    }
    for (int i = 0; i < nInLen; ++i) {
        const std::string sForm = ModelUtf8Form(pIn[i]);
        if (sOut.size() + sForm.size() > nOutSize - 1) {
            break;
        }
        sOut += sForm;
    }
    const int nWritten = static_cast<int>(sOut.size());
    sOut += '\0';
    return nWritten;
}

int ModelUtf8To16(const uint8_t* pIn, unsigned nInLen, unsigned nOutSize,
                  std::vector<uint16_t>& vecOut) {
    if (nOutSize < 2) {
        if (nOutSize == 1) {
            vecOut.push_back(0);
        }
        return 0;
    }
    unsigned i = 0;
    while (i < nInLen && vecOut.size() < nOutSize - 1) {
        const unsigned nSeq = ModelUtf8SequenceLength(pIn[i]);
        if (i + nSeq > nInLen) {
            break;
        }
        if (nSeq == 0 || nSeq == 4) {
            ++i;
            continue;
        }
        vecOut.push_back(ModelUtf8Decode(pIn + i));
        i += nSeq;
    }
    const int nWritten = static_cast<int>(vecOut.size());
    vecOut.push_back(0);
    return nWritten;
}

}  // namespace fuzz
