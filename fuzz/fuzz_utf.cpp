// The four UTF-16 / UTF-8 functions against their reference models.
//
// Input: two bytes of output size (in bytes for UTF-8 output, in units for UTF-16 output), then
// the data, taken both as UTF-8 bytes and as 16-bit units in the machine's order.
//
// Properties: the string converters write only inside their output size, exactly the model's
// units or bytes and one terminator, and return the model's count; the single-character steps
// write the model's form and nothing past it, and decoding a form gives the value back.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/guarded_buffer.h"
#include "fuzz/utf_model.h"
#include "xconv/xconv_utf.h"

namespace {

const char kFill = static_cast<char>(0xFF);  // never part of a UTF-8 form
const uint16_t kUnitFill = 0xFFFF;           // kFill in both bytes

void CheckUtf16To8(const std::vector<uint16_t>& vecUnits, unsigned nOutSize) {
    std::unique_ptr<uint16_t[]> pIn(new uint16_t[vecUnits.size()]);
    std::copy(vecUnits.begin(), vecUnits.end(), pIn.get());
    const int nInLen = static_cast<int>(vecUnits.size());
    std::string sWant;
    const int nWant = fuzz::ModelUtf16To8(pIn.get(), nInLen, nOutSize, sWant);

    fuzz::CGuardedBuffer oOut(nOutSize, kFill);
    FUZZ_CHECK(xconv_utf16to8(pIn.get(), nInLen, oOut.Data(), nOutSize) == nWant);
    for (unsigned i = 0; i < nOutSize; ++i) {
        FUZZ_CHECK(oOut[i] == (i < sWant.size() ? sWant[i] : kFill));
    }
}

void CheckUtf8To16(const uint8_t* pData, unsigned nSize, unsigned nOutSize) {
    const std::unique_ptr<uint8_t[]> pIn = fuzz::ExactCopy(pData, nSize);
    std::vector<uint16_t> vecWant;
    const int nWant = fuzz::ModelUtf8To16(pIn.get(), nSize, nOutSize, vecWant);

    // Room of nOutSize units in a block of exactly that size, every unit kUnitFill at first.
    fuzz::CGuardedBuffer oOut(nOutSize * sizeof(uint16_t), kFill);
    FUZZ_CHECK(xconv_utf8to16(pIn.get(), nSize, reinterpret_cast<uint16_t*>(oOut.Data()),
                              nOutSize) == nWant);
    std::vector<uint16_t> vecUnits(nOutSize);
    if (nOutSize > 0) {
        memcpy(vecUnits.data(), oOut.Data(), nOutSize * sizeof(uint16_t));
    }
    for (unsigned i = 0; i < nOutSize; ++i) {
        FUZZ_CHECK(vecUnits[i] == (i < vecWant.size() ? vecWant[i] : kUnitFill));
    }
}

void CheckSingleSteps(const std::vector<uint16_t>& vecUnits, const uint8_t* pData, size_t nSize) {
    for (const uint16_t wValue : vecUnits) {
        const std::string sForm = fuzz::ModelUtf8Form(wValue);
        fuzz::CGuardedBuffer oOut(3, kFill);
        FUZZ_CHECK(xconv_single_utf16to8(wValue, oOut.Data()) == static_cast<int>(sForm.size()));
        FUZZ_CHECK(std::string(oOut.Data(), sForm.size()) == sForm);
        for (size_t i = sForm.size(); i < 3; ++i) {
            FUZZ_CHECK(oOut[i] == kFill);
        }
        uint16_t wBack = 0;
        FUZZ_CHECK(xconv_single_utf8to16(reinterpret_cast<const uint8_t*>(oOut.Data()), &wBack) ==
                   1);
        FUZZ_CHECK(wBack == wValue);
    }
    // Every position of the data whose sequence lies wholly inside it.
    for (size_t i = 0; i < nSize; ++i) {
        const unsigned nSeq = fuzz::ModelUtf8SequenceLength(pData[i]);
        if (i + (nSeq == 0 ? 1 : nSeq) > nSize) {
            continue;
        }
        const std::unique_ptr<uint8_t[]> pSeq = fuzz::ExactCopy(pData + i, nSeq == 0 ? 1 : nSeq);
        uint16_t wValue = 0xABCD;
        const int nRet = xconv_single_utf8to16(pSeq.get(), &wValue);
        const bool bDecodes = nSeq >= 1 && nSeq <= 3;
        FUZZ_CHECK(nRet == (bDecodes ? 1 : 0));
        FUZZ_CHECK(wValue == (bDecodes ? fuzz::ModelUtf8Decode(pSeq.get()) : 0));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzz::CFuzzInput oInput(pData, nSize);
    const unsigned nSizeSeed = static_cast<unsigned>(oInput.TakeNumber(2));
    const uint8_t* pText = oInput.Rest();
    const size_t nText = oInput.Left();

    std::vector<uint16_t> vecUnits(nText / 2);
    if (!vecUnits.empty()) {
        memcpy(vecUnits.data(), pText, vecUnits.size() * sizeof(uint16_t));
    }
    // From no room to more than the whole input needs.
    CheckUtf16To8(vecUnits, nSizeSeed % static_cast<unsigned>(3 * vecUnits.size() + 3));
    CheckUtf8To16(pText, static_cast<unsigned>(nText),
                  nSizeSeed % static_cast<unsigned>(nText + 3));
    CheckSingleSteps(vecUnits, pText, nText);
    return 0;
}
