#include "dev_tools/file_handler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

typedef std::vector<std::string> VEC;

CFileHandler& Handler() {
    return CFileHandler::GetInstance();
}

std::vector<std::string> SortedNames(const std::vector<CFileHandler::SFileInfo>& vecFiles) {
    std::vector<std::string> vecNames;
    for (const CFileHandler::SFileInfo& oInfo : vecFiles) {
        vecNames.push_back(oInfo.sFileName);
    }
    std::sort(vecNames.begin(), vecNames.end());
    return vecNames;
}

bool IsAllZero(const struct stat& oStat) {
    struct stat oZero;
    memset(&oZero, 0, sizeof(oZero));
    return memcmp(&oZero, &oStat, sizeof(oStat)) == 0;
}

TEST(FileHandlerTest, GetInstanceIsOneObject) {
    EXPECT_EQ(&CFileHandler::GetInstance(), &CFileHandler::GetInstance());
}

TEST(FileHandlerTest, PathPieces) {
    const struct {
        const char* szPath;
        const char* szBase;
        const char* szDir;
        const char* szExtension;
    } kRows[] = {
        {"", "", ".", ""},
        {"/", "/", "/", ""},
        {"//", "//", "//", ""},
        {"..", "..", ".", ""},
        {"a", "a", ".", ""},
        {"/a", "a", "/", ""},
        {"a/b/", "b", "a", ""},
        {"dir/", "dir", ".", ""},
        {"a/b.txt", "b.txt", "a", ".txt"},
        {"/tmp/x.tar.gz", "x.tar.gz", "/tmp", ".tar.gz"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        EXPECT_EQ(kRows[i].szBase, Handler().BaseName(kRows[i].szPath)) << "row " << i;
        EXPECT_EQ(kRows[i].szDir, Handler().DirName(kRows[i].szPath)) << "row " << i;
        EXPECT_EQ(kRows[i].szExtension, Handler().Extension(kRows[i].szPath)) << "row " << i;
    }
}

TEST(FileHandlerTest, TrimString) {
    const struct {
        const char* szInput;
        const char* szDelims;
        const char* szExpected;
    } kRows[] = {
        {" a b\t", " \t", "a b"}, {"   ", " \t", ""}, {" a ", "", " a "}, {"", " ", ""},
        {"xxaxx", "x", "a"},      {"a", " ", "a"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        std::string sStr = kRows[i].szInput;
        std::string& sResult = Handler().TrimString(sStr, kRows[i].szDelims);
        EXPECT_EQ(&sStr, &sResult) << "row " << i;
        EXPECT_EQ(kRows[i].szExpected, sStr) << "row " << i;
    }
}

TEST(FileHandlerTest, GetFileSize) {
    test_support::CTempDir oDir;
    const std::string sEmpty = oDir.WriteFile("empty", "");
    const std::string sFile = oDir.WriteFile("f1536", std::string(1536, 'x'));
    const std::string sLink = oDir.Path() + "/link";
    ASSERT_EQ(0, symlink(sFile.c_str(), sLink.c_str()));

    EXPECT_EQ(0u, Handler().GetFileSize(oDir.Path() + "/missing"));
    EXPECT_EQ(0u, Handler().GetFileSize(sEmpty));
    EXPECT_EQ(1536u, Handler().GetFileSize(sFile));
    EXPECT_EQ(1536u, Handler().GetFileSize(sLink));
}

TEST(FileHandlerTest, GetFileSizeBeyond32Bits) {
    test_support::CTempDir oDir;
    const std::string sPath = oDir.Path() + "/sparse";
    const uint64_t dwSize = (5ULL << 30) + 123;  // 5 GiB and a bit: needs more than 32 bits
    const int iFd = open(sPath.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(iFd, 0);
    const bool bTruncated = ftruncate(iFd, static_cast<off_t>(dwSize)) == 0;
    close(iFd);
    ASSERT_TRUE(bTruncated);

    EXPECT_EQ(dwSize, Handler().GetFileSize(sPath));
}

TEST(FileHandlerTest, ExistenceTests) {
    test_support::CTempDir oDir;
    const std::string sFile = oDir.WriteFile("f", "x");
    const std::string sDangling = oDir.Path() + "/dangling";
    ASSERT_EQ(0, symlink((oDir.Path() + "/nowhere").c_str(), sDangling.c_str()));

    EXPECT_TRUE(Handler().IsPathExists(sFile));
    EXPECT_TRUE(Handler().IsPathExists(oDir.Path()));
    EXPECT_FALSE(Handler().IsPathExists(sDangling));
    EXPECT_FALSE(Handler().IsPathExists(oDir.Path() + "/missing"));

    EXPECT_TRUE(Handler().IsDirExists(oDir.Path()));
    EXPECT_FALSE(Handler().IsDirExists(sFile));
    EXPECT_FALSE(Handler().IsDirExists(oDir.Path() + "/missing"));
}

TEST(FileHandlerTest, CreateDirectory) {
    test_support::CTempDir oDir;
    const std::string sFile = oDir.WriteFile("plain", "x");

    const std::string sDeep = oDir.Path() + "/a/b/c";
    EXPECT_TRUE(Handler().CreateDirectory(sDeep));
    EXPECT_TRUE(Handler().IsDirExists(sDeep));
    struct stat oStat;
    ASSERT_EQ(0, stat(sDeep.c_str(), &oStat));
    EXPECT_EQ(0u, oStat.st_mode & 077u) << "only the owner gets permissions";

    // Existing directories, also written with a trailing separator or doubled separators.
    EXPECT_TRUE(Handler().CreateDirectory(sDeep));
    EXPECT_TRUE(Handler().CreateDirectory(oDir.Path() + "/a//b/"));
    EXPECT_TRUE(Handler().CreateDirectory("/"));
    EXPECT_TRUE(Handler().CreateDirectory("."));

    EXPECT_FALSE(Handler().CreateDirectory(""));
    EXPECT_FALSE(Handler().CreateDirectory(sFile));
    EXPECT_FALSE(Handler().CreateDirectory(sFile + "/sub/deeper"));
    EXPECT_FALSE(Handler().IsPathExists(sFile + "/sub"));
}

TEST(FileHandlerTest, CreateRelativeDirectory) {
    test_support::CTempDir oDir;
    char szOldCwd[4096];
    ASSERT_NE(nullptr, getcwd(szOldCwd, sizeof(szOldCwd)));
    ASSERT_EQ(0, chdir(oDir.Path().c_str()));
    const bool bCreated = Handler().CreateDirectory("r/s");
    const bool bExists = Handler().IsDirExists(oDir.Path() + "/r/s");
    ASSERT_EQ(0, chdir(szOldCwd));
    EXPECT_TRUE(bCreated);
    EXPECT_TRUE(bExists);
}

TEST(FileHandlerTest, ReadDirectory) {
    test_support::CTempDir oDir;
    const std::string sEmptyDir = oDir.Path() + "/empty";
    ASSERT_EQ(0, mkdir(sEmptyDir.c_str(), 0700));

    // A missing directory leaves the vector alone.
    std::vector<CFileHandler::SFileInfo> vecFiles(1);
    vecFiles[0].sFileName = "kept";
    EXPECT_FALSE(Handler().ReadDirectory(vecFiles, oDir.Path() + "/missing", false));
    ASSERT_EQ(1u, vecFiles.size());

    // Entries are appended behind what the vector held.
    EXPECT_TRUE(Handler().ReadDirectory(vecFiles, sEmptyDir, false));
    ASSERT_EQ(3u, vecFiles.size());
    EXPECT_EQ("kept", vecFiles[0].sFileName);
    vecFiles.erase(vecFiles.begin());
    EXPECT_EQ((VEC{".", ".."}), SortedNames(vecFiles));
    for (const CFileHandler::SFileInfo& oInfo : vecFiles) {
        EXPECT_TRUE(S_ISDIR(oInfo.stat.st_mode)) << oInfo.sFileName;
    }
}

TEST(FileHandlerTest, ReadDirectoryLinks) {
    test_support::CTempDir oDir;
    oDir.WriteFile("file", std::string(10, 'x'));
    ASSERT_EQ(0, symlink("file", (oDir.Path() + "/link").c_str()));
    ASSERT_EQ(0, symlink("nowhere", (oDir.Path() + "/dangling").c_str()));

    for (const bool bShowLink : {false, true}) {
        std::vector<CFileHandler::SFileInfo> vecFiles;
        // A trailing separator on the folder is fine: the entry name is joined with one more.
        ASSERT_TRUE(Handler().ReadDirectory(vecFiles, oDir.Path() + "/", bShowLink));
        EXPECT_EQ((VEC{".", "..", "dangling", "file", "link"}), SortedNames(vecFiles));
        for (const CFileHandler::SFileInfo& oInfo : vecFiles) {
            const mode_t eMode = oInfo.stat.st_mode;
            if (oInfo.sFileName == "link") {
                EXPECT_EQ(bShowLink, S_ISLNK(eMode) != 0) << "bShowLink " << bShowLink;
                EXPECT_EQ(!bShowLink, S_ISREG(eMode) != 0) << "bShowLink " << bShowLink;
            } else if (oInfo.sFileName == "dangling" && bShowLink) {
                EXPECT_TRUE(S_ISLNK(eMode));
                EXPECT_EQ(7, oInfo.stat.st_size);  // the length of the link text
            } else if (oInfo.sFileName == "dangling") {
                // The status call fails on the missing target: the entry stays, zeroed.
                EXPECT_TRUE(IsAllZero(oInfo.stat));
            } else if (oInfo.sFileName == "file") {
                EXPECT_EQ(10, oInfo.stat.st_size);
            }
        }
    }
}

TEST(FileHandlerTest, ReadColumnData) {
    const struct {
        const char* szContent;
        const char* szDelims;
        std::vector<VEC> vecRows;
    } kRows[] = {
        {"a,, b\n", " ,", {{"a", "b"}}},
        {"a b\n\nc\n", " ,", {{"a", "b"}, {"c"}}},
        {",,,\n", " ,", {{}}},
        {" ,x, y ,\nlast", " ,", {{"x", "y"}, {"last"}}},
        {"a\tb\r\n", "\t", {{"a", "b\r"}}},
        {"a\tb\r\n", "\t\r", {{"a", "b"}}},
        {"a b\n\n c\n", "", {{"a b"}, {" c"}}},
        {"", " ", {}},
        {"\n\n", " ", {}},
    };
    test_support::CTempDir oDir;
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const std::string sPath = oDir.WriteFile("data" + std::to_string(i), kRows[i].szContent);
        CFileHandler::column_data_t vecColumns;
        EXPECT_TRUE(Handler().ReadColumnData(sPath, vecColumns, kRows[i].szDelims)) << "row " << i;
        EXPECT_EQ(kRows[i].vecRows, vecColumns) << "row " << i;
    }
}

TEST(FileHandlerTest, ReadColumnDataAppendsAndFailsCleanly) {
    test_support::CTempDir oDir;
    const std::string sPath = oDir.WriteFile("data", "x y\n");
    CFileHandler::column_data_t vecColumns{{"old"}};

    EXPECT_FALSE(Handler().ReadColumnData(oDir.Path() + "/missing", vecColumns, " "));
    EXPECT_EQ((CFileHandler::column_data_t{{"old"}}), vecColumns);

    EXPECT_TRUE(Handler().ReadColumnData(sPath, vecColumns, " "));
    EXPECT_EQ((CFileHandler::column_data_t{{"old"}, {"x", "y"}}), vecColumns);
}

}  // namespace
