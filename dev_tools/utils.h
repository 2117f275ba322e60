// Decimal text of numbers, list splitting and readable byte counts.
//
// Everything here is header-only, stateless and reentrant: the only allocation is
// the string each function returns.
#ifndef DEV_TOOLS_UTILS_H
#define DEV_TOOLS_UTILS_H

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

// Tens digit and units digit of 0..99, so the decimal writer emits two digits per division.
static const char digit1[101] =
    "0000000000111111111122222222223333333333444444444455555555556666666666"
    "777777777788888888889999999999";
static const char digit2[101] =
    "0123456789012345678901234567890123456789012345678901234567890123456789"
    "012345678901234567890123456789";

// t in decimal: no sign, no leading zero, no grouping.
inline std::string to_str(uint64_t t) {
    char szBuf[32];
    size_t iPos = sizeof(szBuf);
    while (t > 99) {
        const uint64_t r = t % 100;
        t /= 100;
        iPos -= 2;
        szBuf[iPos] = digit1[r];
        szBuf[iPos + 1] = digit2[r];
    }
    if (t > 9) {
        iPos -= 2;
        szBuf[iPos] = digit1[t];
        szBuf[iPos + 1] = digit2[t];
    } else {
        szBuf[--iPos] = static_cast<char>('0' + t);
    }
    return std::string(szBuf + iPos, sizeof(szBuf) - iPos);
}

template <typename T>
std::string ToStr(const T& t);

template <>
inline std::string ToStr<uint32_t>(const uint32_t& t) {
    return to_str(t);
}

// Negative values get a leading minus sign (errno texts, the only callers, are positive).
template <>
inline std::string ToStr<int32_t>(const int32_t& t) {
    if (t < 0) {
        return "-" + to_str(static_cast<uint64_t>(-static_cast<int64_t>(t)));
    }
    return to_str(static_cast<uint64_t>(t));
}

// General conversion through a string stream: write the input in, extract the output.
// For string to string this yields the first whitespace-free token of the input.
template <typename Out, typename In>
Out ToType(const In& input_obj) {
    std::stringstream ss(std::ios::in | std::ios::out);
    ss << input_obj;
    Out out_obj{};
    ss >> out_obj;
    return out_obj;
}

// A byte as a number from 0 to 255, never as the character of that code.
template <>
inline std::string ToType<std::string, uint8_t>(const uint8_t& input_obj) {
    return to_str(input_obj);
}

// Splits sStr at every character of the set sDelim; each piece is cut to its first
// whitespace-free token. Empty pieces are dropped unless bKeepEmptyStr; the emptiness
// test looks at the raw piece, so an all-blank piece survives as an empty string.
template <typename STR>
std::vector<STR> SplitStringByChar(const STR& sStr, const STR& sDelim, bool bKeepEmptyStr) {
    std::vector<STR> vecResult;
    if (sStr.empty()) {
        return vecResult;
    }
    typename STR::size_type iStart = 0;
    while (true) {
        const typename STR::size_type iEnd = sStr.find_first_of(sDelim, iStart);
        const STR sTmpStr = sStr.substr(iStart, iEnd == STR::npos ? STR::npos : iEnd - iStart);
        if (bKeepEmptyStr || !sTmpStr.empty()) {
            vecResult.push_back(ToType<STR, STR>(sTmpStr));
        }
        if (iEnd == STR::npos) {
            break;
        }
        iStart = iEnd + 1;
    }
    return vecResult;
}

class CObjSize {
public:
    // A byte count as text with two decimals and a unit from B to TB, e.g. 1.50KB.
    // The value keeps the two most significant base-1024 digits (lower ones are
    // truncated); counts of 1024 TB and more stay in TB.
    static std::string ReadableSize(uint64_t dwSize) {
        static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB"};
        static const unsigned kTopUnit = sizeof(kUnits) / sizeof(kUnits[0]) - 1;
        unsigned nDigits = 1;
        for (uint64_t dwRest = dwSize >> 10; dwRest != 0; dwRest >>= 10) {
            ++nDigits;
        }
        unsigned nUnit = nDigits - 1;
        double dValue = static_cast<double>(dwSize);
        if (nUnit > kTopUnit) {
            nUnit = kTopUnit;
        }
        if (nUnit > 0) {
            // Keep whole units and the next base-1024 digit, as an exact binary fraction.
            const uint64_t dwKept = dwSize >> (10 * (nUnit - 1));
            dValue = static_cast<double>(dwKept) / 1024.0;
        }
        char szBuf[64];
        snprintf(szBuf, sizeof(szBuf), "%.2f%s", dValue, kUnits[nUnit]);
        return szBuf;
    }
};

#endif  // DEV_TOOLS_UTILS_H
