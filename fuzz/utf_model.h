// Reference models of the UTF-16 / UTF-8 converters, one unit or byte at a time. Each returns
// the converter's result and appends the units or bytes it writes, terminator included.
#ifndef FUZZ_UTF_MODEL_H
#define FUZZ_UTF_MODEL_H

#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// The UTF-8 form of one value (1 to 3 bytes).
std::string ModelUtf8Form(uint16_t wValue);

// Length of the sequence that byte c starts: 1 to 4, or 0 when it starts none.
unsigned ModelUtf8SequenceLength(uint8_t c);

// xconv_single_utf8to16 for a first byte that starts a sequence of 1 to 3 bytes, all present.
uint16_t ModelUtf8Decode(const uint8_t* pIn);

// xconv_utf16to8: the bytes written (terminator included) into sOut.
int ModelUtf16To8(const uint16_t* pIn, int nInLen, unsigned nOutSize, std::string& sOut);

// xconv_utf8to16: the units written (terminator included) into vecOut.
int ModelUtf8To16(const uint8_t* pIn, unsigned nInLen, unsigned nOutSize,
                  std::vector<uint16_t>& vecOut);

}  // namespace fuzz

#endif  // FUZZ_UTF_MODEL_H
