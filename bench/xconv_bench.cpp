// Throughput of the built-in GBK <-> UTF-8 converters next to the C library's iconv, on the same
// inputs: 16 MiB of mixed Chinese text (about 85% two-byte characters at random, 15% ASCII) and
// 16 MiB of plain ASCII. Each round converts every input once with each converter, one after the
// other, so both see the same machine load; the ratios are medians over the rounds.
//
// Usage: xconv_bench [ROUNDS]   (default 15; build with optimisation for meaningful figures)
#include <iconv.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "xconv/xconv_g2u.h"
#include "xconv/xconv_u2g.h"

namespace {

constexpr size_t kInputBytes = 16u << 20;
constexpr int kDefaultRounds = 15;

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

// Converts sIn with the built-in converter of the direction into sOut (sized to fit).
void XconvConvert(bool bFromGbk, const std::string& sIn, std::string& sOut) {
    const auto* pIn = reinterpret_cast<const unsigned char*>(sIn.data());
    unsigned nLen = static_cast<unsigned>(sOut.size());
    if (bFromGbk) {
        xconv_gbk2utf8(pIn, static_cast<int>(sIn.size()), sOut.data(), &nLen);
    } else {
        xconv_utf82gbk(pIn, static_cast<unsigned>(sIn.size()), sOut.data(), &nLen);
    }
    sOut.resize(nLen);
}

// One row of the result: a direction on an input, with the ratio it must reach.
struct SCase {
    const char* szName;
    bool bFromGbk;
    const std::string* pInput;
    double dGoal;
    iconv_t oCd;
    std::vector<double> vecOurs;   // seconds per run
    std::vector<double> vecIconv;  // seconds per run
    std::vector<double> vecRatio;  // iconv time / our time, per round
};

template <typename F>
double Seconds(F fRun) {
    const auto tStart = std::chrono::steady_clock::now();
    fRun();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
}

double Median(std::vector<double> vec) {
    std::sort(vec.begin(), vec.end());
    const size_t n = vec.size();
    return n % 2 ? vec[n / 2] : (vec[n / 2 - 1] + vec[n / 2]) / 2;
}

double MiBPerSecond(size_t nBytes, double dSeconds) {
    return static_cast<double>(nBytes) / dSeconds / (1 << 20);
}

}  // namespace

int main(int argc, char** argv) {
    const int nRounds = argc > 1 ? std::max(1, atoi(argv[1])) : kDefaultRounds;
    const std::string sMixedGbk = MakeMixedGbk();
    const std::string sAsciiText = MakeAscii();
    std::string sMixedUtf8(3 * kInputBytes + 1, '\0');
    XconvConvert(true, sMixedGbk, sMixedUtf8);

    const iconv_t oToUtf8 = iconv_open("UTF-8", "GBK");
    const iconv_t oToGbk = iconv_open("GBK", "UTF-8");
    if (oToUtf8 == reinterpret_cast<iconv_t>(-1) || oToGbk == reinterpret_cast<iconv_t>(-1)) {
        fprintf(stderr, "xconv_bench: iconv has no GBK\n");
        return 1;
    }
    std::vector<SCase> vecCases = {
        {"GBK->UTF-8, mixed", true, &sMixedGbk, 3.0, oToUtf8, {}, {}, {}},
        {"UTF-8->GBK, mixed", false, &sMixedUtf8, 3.0, oToGbk, {}, {}, {}},
        {"GBK->UTF-8, ASCII", true, &sAsciiText, 8.0, oToUtf8, {}, {}, {}},
        {"UTF-8->GBK, ASCII", false, &sAsciiText, 8.0, oToGbk, {}, {}, {}},
    };

    // Both converters give the same bytes on every input, so the times compare like with like.
    std::string sOurs(3 * kInputBytes + 1, '\0');
    std::string sIconv(3 * kInputBytes + 1, '\0');
    for (SCase& oCase : vecCases) {
        sOurs.resize(3 * kInputBytes + 1);
        sIconv.resize(3 * kInputBytes + 1);
        XconvConvert(oCase.bFromGbk, *oCase.pInput, sOurs);
        if (!IconvConvert(oCase.oCd, *oCase.pInput, sIconv) || sIconv != sOurs) {
            fprintf(stderr, "xconv_bench: converters and iconv disagree on %s\n", oCase.szName);
            return 1;
        }
    }

    for (int r = 0; r < nRounds; ++r) {
        for (SCase& oCase : vecCases) {
            sOurs.resize(3 * kInputBytes + 1);
            sIconv.resize(3 * kInputBytes + 1);
            const double dOurs =
                Seconds([&] { XconvConvert(oCase.bFromGbk, *oCase.pInput, sOurs); });
            const double dIconv = Seconds([&] { IconvConvert(oCase.oCd, *oCase.pInput, sIconv); });
            oCase.vecOurs.push_back(dOurs);
            oCase.vecIconv.push_back(dIconv);
            oCase.vecRatio.push_back(dIconv / dOurs);
        }
    }
    iconv_close(oToUtf8);
    iconv_close(oToGbk);

    printf("converters vs iconv, 16 MiB inputs, medians of %d interleaved rounds\n", nRounds);
    printf("%-20s %14s %14s %8s %8s\n", "", "ours MiB/s", "iconv MiB/s", "ratio", "goal");
    for (const SCase& oCase : vecCases) {
        const double dRatio = Median(oCase.vecRatio);
        printf("%-20s %14.0f %14.0f %7.2fx  >= %.0fx %s\n", oCase.szName,
               MiBPerSecond(oCase.pInput->size(), Median(oCase.vecOurs)),
               MiBPerSecond(oCase.pInput->size(), Median(oCase.vecIconv)), dRatio, oCase.dGoal,
               dRatio >= oCase.dGoal ? "ok" : "MISSED");
    }
    return 0;
}
