// Reference models of the GBK converters, written as plainly as possible, one character at a
// time, for the fuzz targets to compare the real (table-driven, bulk-copying) converters with.
// A model returns what the converter must return and the image of the output buffer: for each
// byte of the room the value written there, or kUntouched.
#ifndef FUZZ_GBK_MODEL_H
#define FUZZ_GBK_MODEL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

const int kUntouched = -1;

struct SConvModel {
    int nRet = 0;             // bad-byte count, or -1 when a character did not fit
    unsigned nOutLen = 0;     // *out_len afterwards (the room, unchanged, after -1)
    std::vector<int> vecImg;  // one entry per byte of room
};

// xconv_gbk2utf8 over in[0, max(in_len, 0)) with nRoom bytes of room.
SConvModel ModelGbk2Utf8(const uint8_t* pIn, int nInLen, unsigned nRoom, bool bIgnoreOneErrByte);

// xconv_utf82gbk over in[0, in_len) with nRoom bytes of room. The encoding is the inverse of the
// decoding table (not the encoding blocks the converter uses), so a difference between the two
// directions of the tables shows up as a mismatch.
SConvModel ModelUtf82Gbk(const uint8_t* pIn, unsigned nInLen, unsigned nRoom);

// The bytes an image says were written before position nEnd.
std::string WrittenBytes(const SConvModel& oModel, size_t nEnd);

// GBK made only of what the decoder converts cleanly and the encoder gives back unchanged:
// nonzero ASCII, the single bytes 80 and FF, and whole two-byte codes. Other bytes of sRaw are
// dropped.
std::string CleanGbk(const std::string& sRaw);

}  // namespace fuzz

#endif  // FUZZ_GBK_MODEL_H
