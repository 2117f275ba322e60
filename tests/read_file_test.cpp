// ReadFile's bounds: a file is read whole only when it fits the byte limit it is given
// (and one request frame); anything longer fails like an unreadable file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "fanout_client/options.h"
#include "tests/test_support.h"

using test_support::CTempDir;

TEST(ReadFileTest, BytesBeyondTheLimitFailTheRead) {
    CTempDir oDir;
    const std::string sTen = oDir.WriteFile("ten", "0123456789");
    const std::string sEmpty = oDir.WriteFile("empty", "");
    const std::string sSparse = oDir.Path() + "/sparse";
    {
        const int iFd = open(sSparse.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_EQ(ftruncate(iFd, static_cast<off_t>(kMaxFileBytes) + 1), 0);
        close(iFd);
    }
    struct {
        std::string sPath;
        size_t nMaxBytes;
        bool bOk;
        std::string sContent;
    } kCases[] = {
        {sTen, 10, true, "0123456789"},
        {sTen, 9, false, ""},
        {sTen, 0, false, ""},
        {sEmpty, 0, true, ""},
        {sTen, kMaxFileBytes, true, "0123456789"},
        {sSparse, SIZE_MAX, false, ""},  // past one frame, whatever the caller allows
        {"/dev/zero", 100000, false, ""},
        {oDir.Path(), 100, false, "previous"},  // a folder is not read at all
    };
    for (size_t i = 0; i < sizeof(kCases) / sizeof(kCases[0]); ++i) {
        SCOPED_TRACE("case " + std::to_string(i) + ": " + kCases[i].sPath);
        std::string sContent = "previous";
        std::string sErrMsg;
        EXPECT_EQ(ReadFile(kCases[i].sPath, sContent, sErrMsg, kCases[i].nMaxBytes), kCases[i].bOk);
        EXPECT_EQ(sContent, kCases[i].sContent);
        EXPECT_EQ(sErrMsg, kCases[i].bOk
                               ? ""
                               : ("Open file('" + kCases[i].sPath + "') failed!").substr(0, 63));
    }
}
