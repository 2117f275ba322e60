// Runs a GBK converter into a guarded buffer and compares everything it did with its model:
// the result, *out_len, and every byte of the room (written or left alone).
#ifndef FUZZ_CONV_CHECK_H
#define FUZZ_CONV_CHECK_H

#include <cstdint>

#include "fuzz/fuzz_check.h"
#include "fuzz/gbk_model.h"
#include "fuzz/guarded_buffer.h"

namespace fuzz {

template <typename TLen>
void CheckConverter(int (*fConv)(const unsigned char*, TLen, char*, unsigned*),
                    const SConvModel& oModel, const uint8_t* pIn, TLen nInLen, unsigned nRoom,
                    char cFill) {
    CGuardedBuffer oOut(nRoom, cFill);
    unsigned nOutLen = nRoom;
    const int nRet = fConv(pIn, nInLen, oOut.Data(), &nOutLen);
    FUZZ_CHECK(nRet == oModel.nRet);
    FUZZ_CHECK(nOutLen == oModel.nOutLen);
    FUZZ_CHECK(nRet == -1 ? nOutLen == nRoom : nOutLen <= nRoom);
    for (unsigned i = 0; i < nRoom; ++i) {
        const int iWant =
            oModel.vecImg[i] == kUntouched ? static_cast<uint8_t>(cFill) : oModel.vecImg[i];
        FUZZ_CHECK(static_cast<uint8_t>(oOut[i]) == iWant);
    }
}

}  // namespace fuzz

#endif  // FUZZ_CONV_CHECK_H
