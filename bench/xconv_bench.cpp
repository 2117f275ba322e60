// Throughput of the built-in GBK <-> UTF-8 converters next to the C library's iconv, on the same
// inputs: 16 MiB of mixed Chinese text (about 85% two-byte characters, 15% ASCII) and 16 MiB of
// plain ASCII. Rates are input bytes per second.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "xconv/xconv_g2u.h"
#include "xconv/xconv_u2g.h"

namespace {

constexpr size_t kInputBytes = 16u << 20;

enum EInput { EI_MIXED = 0, EI_ASCII = 1 };

struct SInputs {
    std::string sGbk[2];   // indexed by EInput
    std::string sUtf8[2];  // the same texts in UTF-8
    std::string sError;    // set when the converters disagree with iconv
};

std::string MakeMixedGbk() {
    std::mt19937 oRng(936);
    std::uniform_int_distribution<int> oPercent(0, 99);
    std::uniform_int_distribution<int> oLead(0xB0, 0xD7);  // first level of common characters
    std::uniform_int_distribution<int> oAscii(0x20, 0x7E);
    std::string sText;
    sText.reserve(kInputBytes);
    while (sText.size() + 2 <= kInputBytes) {
        if (oPercent(oRng) < 85) {
            const int nLead = oLead(oRng);
            const int nLastTrail = nLead == 0xD7 ? 0xF9 : 0xFE;  // D7 FA-FE are empty
            sText += static_cast<char>(nLead);
            sText += static_cast<char>(std::uniform_int_distribution<int>(0xA1, nLastTrail)(oRng));
        } else {
            sText += static_cast<char>(oAscii(oRng));
        }
    }
    sText.resize(kInputBytes, 'a');
    return sText;
}

std::string MakeAscii() {
    std::string sText;
    sText.reserve(kInputBytes);
    for (size_t i = 0; sText.size() < kInputBytes; ++i) {
        sText += i % 80 == 79 ? '\n' : static_cast<char>(0x20 + i * 7 % 95);
    }
    return sText;
}

// Converts sIn with iconv into sOut (sized to fit); false on any iconv failure.
bool IconvConvert(iconv_t oCd, const std::string& sIn, std::string& sOut) {
    iconv(oCd, nullptr, nullptr, nullptr, nullptr);
    char* pIn = const_cast<char*>(sIn.data());
    size_t nInLeft = sIn.size();
    char* pOut = sOut.data();
    size_t nOutLeft = sOut.size();
    if (iconv(oCd, &pIn, &nInLeft, &pOut, &nOutLeft) == static_cast<size_t>(-1)) {
        return false;
    }
    sOut.resize(sOut.size() - nOutLeft);
    return true;
}

std::string XconvGbk2Utf8(const std::string& sIn) {
    std::string sOut(3 * sIn.size() + 1, '\0');
    unsigned nLen = static_cast<unsigned>(sOut.size());
    xconv_gbk2utf8(reinterpret_cast<const unsigned char*>(sIn.data()), static_cast<int>(sIn.size()),
                   sOut.data(), &nLen);
    sOut.resize(nLen);
    return sOut;
}

std::string XconvUtf82Gbk(const std::string& sIn) {
    std::string sOut(2 * sIn.size(), '\0');
    unsigned nLen = static_cast<unsigned>(sOut.size());
    xconv_utf82gbk(reinterpret_cast<const unsigned char*>(sIn.data()),
                   static_cast<unsigned>(sIn.size()), sOut.data(), &nLen);
    sOut.resize(nLen);
    return sOut;
}

// The inputs, checked once: both converters give what iconv gives, so the rates compare like
// with like.
const SInputs& Inputs() {
    static const SInputs oInputs = [] {
        SInputs o;
        o.sGbk[EI_MIXED] = MakeMixedGbk();
        o.sGbk[EI_ASCII] = MakeAscii();
        const iconv_t oToUtf8 = iconv_open("UTF-8", "GBK");
        const iconv_t oToGbk = iconv_open("GBK", "UTF-8");
        for (int e : {EI_MIXED, EI_ASCII}) {
            o.sUtf8[e] = XconvGbk2Utf8(o.sGbk[e]);
            std::string sIconvUtf8(3 * o.sGbk[e].size(), '\0');
            std::string sIconvGbk(o.sUtf8[e].size(), '\0');
            if (!IconvConvert(oToUtf8, o.sGbk[e], sIconvUtf8) || sIconvUtf8 != o.sUtf8[e] ||
                !IconvConvert(oToGbk, o.sUtf8[e], sIconvGbk) || sIconvGbk != o.sGbk[e] ||
                XconvUtf82Gbk(o.sUtf8[e]) != o.sGbk[e]) {
                o.sError = "converters and iconv disagree on the input";
            }
        }
        iconv_close(oToUtf8);
        iconv_close(oToGbk);
        return o;
    }();
    return oInputs;
}

const char* InputName(int64_t nInput) {
    return nInput == EI_MIXED ? "mixed" : "ascii";
}

template <bool bFromGbk>
const std::string& InputOf(const benchmark::State& oState) {
    const int nInput = static_cast<int>(oState.range(0));
    return bFromGbk ? Inputs().sGbk[nInput] : Inputs().sUtf8[nInput];
}

template <bool bFromGbk>
void BM_Xconv(benchmark::State& oState) {
    const std::string& sIn = InputOf<bFromGbk>(oState);
    if (!Inputs().sError.empty()) {
        oState.SkipWithError(Inputs().sError.c_str());
        return;
    }
    const auto* pIn = reinterpret_cast<const unsigned char*>(sIn.data());
    std::vector<char> vecOut(3 * sIn.size() + 1);
    for (auto _ : oState) {
        unsigned nLen = static_cast<unsigned>(vecOut.size());
        const int nRet =
            bFromGbk ? xconv_gbk2utf8(pIn, static_cast<int>(sIn.size()), vecOut.data(), &nLen)
                     : xconv_utf82gbk(pIn, static_cast<unsigned>(sIn.size()), vecOut.data(), &nLen);
        benchmark::DoNotOptimize(nRet);
        benchmark::ClobberMemory();
    }
    oState.SetBytesProcessed(static_cast<int64_t>(oState.iterations() * sIn.size()));
    oState.SetLabel(InputName(oState.range(0)));
}

template <bool bFromGbk>
void BM_Iconv(benchmark::State& oState) {
    const std::string& sIn = InputOf<bFromGbk>(oState);
    if (!Inputs().sError.empty()) {
        oState.SkipWithError(Inputs().sError.c_str());
        return;
    }
    const iconv_t oCd = bFromGbk ? iconv_open("UTF-8", "GBK") : iconv_open("GBK", "UTF-8");
    std::string sOut(3 * sIn.size() + 1, '\0');
    for (auto _ : oState) {
        sOut.resize(3 * sIn.size() + 1);
        if (!IconvConvert(oCd, sIn, sOut)) {
            oState.SkipWithError("iconv failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    iconv_close(oCd);
    oState.SetBytesProcessed(static_cast<int64_t>(oState.iterations() * sIn.size()));
    oState.SetLabel(InputName(oState.range(0)));
}

void BM_XconvGbk2Utf8(benchmark::State& oState) {
    BM_Xconv<true>(oState);
}
void BM_IconvGbk2Utf8(benchmark::State& oState) {
    BM_Iconv<true>(oState);
}
void BM_XconvUtf82Gbk(benchmark::State& oState) {
    BM_Xconv<false>(oState);
}
void BM_IconvUtf82Gbk(benchmark::State& oState) {
    BM_Iconv<false>(oState);
}

BENCHMARK(BM_XconvGbk2Utf8)->Arg(EI_MIXED)->Arg(EI_ASCII)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IconvGbk2Utf8)->Arg(EI_MIXED)->Arg(EI_ASCII)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_XconvUtf82Gbk)->Arg(EI_MIXED)->Arg(EI_ASCII)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IconvUtf82Gbk)->Arg(EI_MIXED)->Arg(EI_ASCII)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
