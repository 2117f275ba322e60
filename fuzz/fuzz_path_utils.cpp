// FilePath and the string and number helpers, checked against properties that hold for every
// input.
//
// Input: a flag byte, the path and a second string (component, extension or child; each a length
// byte and its bytes), a 64-bit number, the delimiter set, then the text to split. Flag bit 0
// maps the two strings onto a small alphabet of separators, dots and extension letters, so that
// deep paths and double extensions come up often; bits 1-2 choose the delimiter set: ";", ",;",
// none, or the one from the input.
#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dev_tools/file_path.h"
#include "dev_tools/utils.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"

namespace {

typedef std::vector<std::string> VEC_STR;

const char kAlphabet[] = "/./.abgzGZ2";
const char kBlanks[] = " \t\n\v\f\r";  // what the stream's classic locale skips

std::string MapToAlphabet(const std::string& sRaw) {
    std::string sMapped;
    for (const char c : sRaw) {
        sMapped += kAlphabet[static_cast<uint8_t>(c) % (sizeof(kAlphabet) - 1)];
    }
    return sMapped;
}

bool AllSeparators(const std::string& s) {
    return s.find_first_not_of('/') == std::string::npos;
}

bool EndsWith(const std::string& s, const std::string& sEnd) {
    return s.size() >= sEnd.size() && s.compare(s.size() - sEnd.size(), sEnd.size(), sEnd) == 0;
}

// ".", "./", ".//" and so on.
bool StripsToDot(const FilePath& oPath) {
    return oPath.BaseName().value() == "." && oPath.DirName().value() == ".";
}

VEC_STR Components(const FilePath& oPath) {
    VEC_STR vecComps;
    oPath.GetComponents(&vecComps);
    return vecComps;
}

// DirName walks up to ".", "/" or "//" in at most one step per component.
void CheckDirNameChain(const FilePath& oPath) {
    FilePath oCur = oPath;
    size_t nSteps = 0;
    for (FilePath oUp = oCur.DirName(); oUp != oCur; oUp = oCur.DirName()) {
        oCur = oUp;
        FUZZ_CHECK(++nSteps <= oPath.value().size() + 1);
    }
    const std::string& sTop = oCur.value();
    FUZZ_CHECK(sTop == "." || sTop == "/" || sTop == "//");
    FUZZ_CHECK((sTop != ".") == oPath.IsAbsolute());
}

void CheckComponents(const FilePath& oPath, const VEC_STR& vecComps) {
    const std::string& sPath = oPath.value();
    FUZZ_CHECK(vecComps.size() <= sPath.size());
    FUZZ_CHECK(oPath.IsAbsolute() == (!sPath.empty() && sPath[0] == '/'));
    bool bParent = false;
    for (size_t i = 0; i < vecComps.size(); ++i) {
        const std::string& sComp = vecComps[i];
        FUZZ_CHECK(!sComp.empty());
        // Only a root, first, holds separators, and only an absolute path has one.
        const bool bRoot = i == 0 && oPath.IsAbsolute();
        FUZZ_CHECK(bRoot ? (sComp == "/" || sComp == "//") : sComp.find('/') == std::string::npos);
        bParent = bParent || sComp == "..";
    }
    FUZZ_CHECK(!oPath.IsAbsolute() || !vecComps.empty());
    FUZZ_CHECK(oPath.ReferencesParent() == bParent);
    oPath.GetComponents(nullptr);
}

void CheckBaseAndDir(const FilePath& oPath, const VEC_STR& vecComps) {
    const FilePath oBase = oPath.BaseName();
    const FilePath oDir = oPath.DirName();
    const std::string& sBase = oBase.value();
    FUZZ_CHECK(sBase.empty() == oPath.value().empty());
    FUZZ_CHECK(oBase.BaseName() == oBase);
    FUZZ_CHECK(AllSeparators(sBase) ? AllSeparators(oPath.value())
                                    : sBase.find('/') == std::string::npos);
    FUZZ_CHECK(!oDir.value().empty());
    // The directory and the last component join back into the same components. Not for a
    // path that strips down to "." ("./" has the component "." while "." has none).
    if (oDir != oPath && !AllSeparators(sBase) && !StripsToDot(oPath)) {
        FUZZ_CHECK(Components(oDir.Append(oBase)) == vecComps);
    }
    CheckDirNameChain(oPath);
}

void CheckExtension(const FilePath& oPath, const std::string& sOther) {
    const std::string& sPath = oPath.value();
    const std::string sBase = oPath.BaseName().value();
    const std::string sExt = oPath.Extension();
    FUZZ_CHECK(sExt.empty() || sExt[0] == '.');
    FUZZ_CHECK(EndsWith(sBase, sExt));
    const FilePath oNoExt = oPath.RemoveExtension();
    if (sExt.empty()) {
        FUZZ_CHECK(oNoExt == oPath);
    } else {
        FUZZ_CHECK(oNoExt.value().size() < sPath.size());
        FUZZ_CHECK(sPath.compare(0, oNoExt.value().size(), oNoExt.value()) == 0);
    }
    const FilePath oReplaced = oPath.ReplaceExtension(sOther);
    if (sPath.empty() || sBase == "." || sBase == "..") {
        FUZZ_CHECK(oReplaced.value().empty());
    } else if (sOther.empty() || sOther == ".") {
        FUZZ_CHECK(oReplaced == oNoExt);
    } else {
        FUZZ_CHECK(oReplaced.value() == oNoExt.value() + (sOther[0] == '.' ? "" : ".") + sOther);
    }
}

void CheckAppend(const FilePath& oPath, const VEC_STR& vecComps, const std::string& sOther) {
    const FilePath oJoined = oPath.Append(sOther);
    FUZZ_CHECK(oJoined == oPath.Append(FilePath(sOther)));
    FUZZ_CHECK(EndsWith(oJoined.value(), sOther));
    if (oPath.value() == ".") {
        FUZZ_CHECK(oJoined.value() == sOther);
    }
    const bool bName = !sOther.empty() && sOther.find('/') == std::string::npos;
    if (bName) {
        FUZZ_CHECK(oJoined.BaseName().value() == sOther);
    }
    // A path is a proper ancestor of itself joined with a name, and the rest is that name.
    if (bName && !vecComps.empty() && !StripsToDot(oPath)) {
        FilePath oRest;
        FUZZ_CHECK(oPath.AppendRelativePath(oJoined, &oRest));
        FUZZ_CHECK(oRest.value() == sOther);
        FUZZ_CHECK(oPath.AppendRelativePath(oJoined, nullptr));
    }
    FUZZ_CHECK(!oPath.AppendRelativePath(oPath, nullptr));
    // Whatever the child, a true answer means its components extend the parent's.
    const FilePath oChild(sOther);
    FilePath oRest;
    if (oPath.AppendRelativePath(oChild, &oRest)) {
        const VEC_STR vecChild = Components(oChild);
        FUZZ_CHECK(vecChild.size() > vecComps.size());
        FUZZ_CHECK(std::equal(vecComps.begin(), vecComps.end(), vecChild.begin()));
    }
}

void CheckFilePath(const std::string& sPath, const std::string& sOther) {
    const FilePath oPath(sPath);
    FilePath oCopy;
    oCopy = oPath;
    FUZZ_CHECK(oCopy == oPath && !(oCopy != oPath) && FilePath(oPath).value() == sPath);
    const VEC_STR vecComps = Components(oPath);
    CheckComponents(oPath, vecComps);
    CheckBaseAndDir(oPath, vecComps);
    CheckExtension(oPath, sOther);
    CheckAppend(oPath, vecComps, sOther);
}

// The first token of a piece, as a classic-locale stream extracts it.
std::string FirstToken(const std::string& sPiece) {
    const size_t nStart = sPiece.find_first_not_of(kBlanks, 0, sizeof(kBlanks) - 1);
    if (nStart == std::string::npos) {
        return std::string();
    }
    const size_t nEnd = sPiece.find_first_of(kBlanks, nStart, sizeof(kBlanks) - 1);
    return sPiece.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
}

void CheckSplit(const std::string& sText, const std::string& sDelims) {
    for (const bool bKeepEmpty : {false, true}) {
        VEC_STR vecWant;
        std::string sPiece;
        for (size_t i = 0; i <= sText.size() && !sText.empty(); ++i) {
            if (i < sText.size() && sDelims.find(sText[i]) == std::string::npos) {
                sPiece += sText[i];
                continue;
            }
            if (bKeepEmpty || !sPiece.empty()) {
                vecWant.push_back(FirstToken(sPiece));
            }
            sPiece.clear();
        }
        FUZZ_CHECK(SplitStringByChar(sText, sDelims, bKeepEmpty) == vecWant);
    }
}

std::string Printed(const char* szFormat, ...) __attribute__((format(printf, 1, 2)));
std::string Printed(const char* szFormat, ...) {
    char szBuf[64];
    va_list args;
    va_start(args, szFormat);
    vsnprintf(szBuf, sizeof(szBuf), szFormat, args);
    va_end(args);
    return szBuf;
}

// Digits, a point, two decimals and a unit; the value is the count in that unit, its lower
// base-1024 digits cut off.
void CheckReadableSize(uint64_t ddwCount) {
    static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB"};
    const std::string sText = CObjSize::ReadableSize(ddwCount);
    char* pEnd = nullptr;
    const double dShown = strtod(sText.c_str(), &pEnd);
    const size_t nNumber = static_cast<size_t>(pEnd - sText.c_str());
    FUZZ_CHECK(nNumber >= 4 && sText[nNumber - 3] == '.');
    FUZZ_CHECK(sText.find_first_not_of("0123456789.") == nNumber);
    size_t nUnit = 0;
    while (nUnit + 1 < sizeof(kUnits) / sizeof(kUnits[0]) &&
           (ddwCount >> (10 * (nUnit + 1))) != 0) {
        ++nUnit;
    }
    FUZZ_CHECK(sText.substr(nNumber) == kUnits[nUnit]);
    const double dExact = static_cast<double>(ddwCount) / static_cast<double>(1ull << (10 * nUnit));
    if (nUnit == 0) {
        FUZZ_CHECK(sText == Printed("%" PRIu64 ".00B", ddwCount));
    } else {
        // Cut-off digits weigh less than 1/1024; the two decimals round by at most 0.005.
        FUZZ_CHECK(dShown <= dExact + 0.005 && dShown >= dExact - 1.0 / 1024 - 0.005);
    }
}

void CheckNumbers(uint64_t ddwValue) {
    const std::string sText = to_str(ddwValue);
    FUZZ_CHECK(sText == Printed("%" PRIu64, ddwValue));
    FUZZ_CHECK(strtoull(sText.c_str(), nullptr, 10) == ddwValue);
    const uint32_t dwValue = static_cast<uint32_t>(ddwValue);
    FUZZ_CHECK(ToStr<uint32_t>(dwValue) == Printed("%" PRIu32, dwValue));
    const int32_t iValue = static_cast<int32_t>(dwValue);
    FUZZ_CHECK(ToStr<int32_t>(iValue) == Printed("%" PRId32, iValue));
    const uint8_t cValue = static_cast<uint8_t>(ddwValue);
    FUZZ_CHECK((ToType<std::string, uint8_t>(cValue)) == Printed("%u", cValue));
    CheckReadableSize(ddwValue);
    CheckReadableSize(ddwValue >> (ddwValue & 63));  // small counts too
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    fuzz::CFuzzInput oInput(pData, nSize);
    const uint8_t cFlags = oInput.TakeByte();
    std::string sPath = oInput.TakeString();
    std::string sOther = oInput.TakeString();
    if (cFlags & 1) {
        sPath = MapToAlphabet(sPath);
        sOther = MapToAlphabet(sOther);
    }
    CheckFilePath(sPath, sOther);

    CheckNumbers(oInput.TakeNumber(8));

    static const char* const kDelimSets[] = {";", ",;", ""};
    const unsigned nDelimChoice = cFlags >> 1 & 3;
    const std::string sDelims =
        nDelimChoice < 3 ? std::string(kDelimSets[nDelimChoice]) : oInput.TakeString();
    CheckSplit(oInput.TakeRest(), sDelims);
    return 0;
}
