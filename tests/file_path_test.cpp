#include "dev_tools/file_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> VEC;

TEST(FilePathTest, BaseNameDirNameComponents) {
    const struct {
        const char* szPath;
        const char* szBase;
        const char* szDir;
        VEC vecComponents;
    } kRows[] = {
        {"", "", ".", {}},
        {"/", "/", "/", {"/"}},
        {"//", "//", "//", {"//"}},
        {"///", "/", "/", {"/"}},
        {"a", "a", ".", {"a"}},
        {"a/", "a", ".", {"a"}},
        {"a//", "a", ".", {"a"}},
        {"/a", "a", "/", {"/", "a"}},
        {"/a/", "a", "/", {"/", "a"}},
        {"//a", "a", "//", {"//", "a"}},
        {"///a", "a", "//", {"//", "a"}},
        {"//a/", "a", "//", {"//", "a"}},
        {"a/b", "b", "a", {"a", "b"}},
        {"a/b/", "b", "a", {"a", "b"}},
        {"a//b", "b", "a", {"a", "b"}},
        {"a///b//", "b", "a", {"a", "b"}},
        {"/a/b", "b", "/a", {"/", "a", "b"}},
        {".", ".", ".", {}},
        {"..", "..", ".", {".."}},
        {"./a", "a", ".", {"a"}},
        {"../a", "a", "..", {"..", "a"}},
        {"a/..", "..", "a", {"a", ".."}},
        {"a/./b", "b", "a/.", {"a", ".", "b"}},
        {"/tmp/x.txt", "x.txt", "/tmp", {"/", "tmp", "x.txt"}},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const FilePath oPath(kRows[i].szPath);
        EXPECT_EQ(kRows[i].szBase, oPath.BaseName().value()) << "row " << i << " BaseName";
        EXPECT_EQ(kRows[i].szDir, oPath.DirName().value()) << "row " << i << " DirName";
        VEC vecComponents{"stale"};
        oPath.GetComponents(&vecComponents);
        EXPECT_EQ(kRows[i].vecComponents, vecComponents) << "row " << i << " GetComponents";
        // The receiver is never changed.
        EXPECT_EQ(kRows[i].szPath, oPath.value()) << "row " << i;
    }
}

TEST(FilePathTest, GetComponentsIgnoresNull) {
    FilePath("/a/b").GetComponents(nullptr);
}

TEST(FilePathTest, ExtensionRemoveReplace) {
    const struct {
        const char* szPath;
        const char* szExtension;
        const char* szRemoved;
        const char* szReplaced;      // with "jpg" and with ".jpg"
        const char* szReplacedNone;  // with "" and with "."
    } kRows[] = {
        {"x.txt", ".txt", "x", "x.jpg", "x"},
        {"x.tar.gz", ".tar.gz", "x", "x.jpg", "x"},
        {"x.tar.GZ", ".tar.GZ", "x", "x.jpg", "x"},
        {"x.tar.bz2", ".tar.bz2", "x", "x.jpg", "x"},
        {"x.tar.Z", ".tar.Z", "x", "x.jpg", "x"},
        {"a.b.z", ".b.z", "a", "a.jpg", "a"},
        {"x.abcd.gz", ".abcd.gz", "x", "x.jpg", "x"},
        {"x.backup.gz", ".gz", "x.backup", "x.backup.jpg", "x.backup"},
        {"x..gz", ".gz", "x.", "x..jpg", "x."},
        {"x.tar.gzip", ".gzip", "x.tar", "x.tar.jpg", "x.tar"},
        {"x.tar.g", ".g", "x.tar", "x.tar.jpg", "x.tar"},
        {"x.y.tgz", ".tgz", "x.y", "x.y.jpg", "x.y"},
        {"x.", ".", "x", "x.jpg", "x"},
        {".tar.gz", ".tar.gz", "", ".jpg", ""},
        {".bashrc", ".bashrc", "", ".jpg", ""},
        {"/x/.bashrc", ".bashrc", "/x/", "/x/.jpg", "/x/"},
        {"dir.tar/x.gz", ".gz", "dir.tar/x", "dir.tar/x.jpg", "dir.tar/x"},
        {"dir.d/x", "", "dir.d/x", "dir.d/x.jpg", "dir.d/x"},
        {"a.b/", ".b", "a", "a.jpg", "a"},
        {"noext", "", "noext", "noext.jpg", "noext"},
        {".", "", ".", "", ""},
        {"..", "", "..", "", ""},
        {"a/..", "", "a/..", "", ""},
        {"", "", "", "", ""},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const FilePath oPath(kRows[i].szPath);
        EXPECT_EQ(kRows[i].szExtension, oPath.Extension()) << "row " << i << " Extension";
        EXPECT_EQ(kRows[i].szRemoved, oPath.RemoveExtension().value()) << "row " << i;
        EXPECT_EQ(kRows[i].szReplaced, oPath.ReplaceExtension("jpg").value()) << "row " << i;
        EXPECT_EQ(kRows[i].szReplaced, oPath.ReplaceExtension(".jpg").value()) << "row " << i;
        EXPECT_EQ(kRows[i].szReplacedNone, oPath.ReplaceExtension("").value()) << "row " << i;
        EXPECT_EQ(kRows[i].szReplacedNone, oPath.ReplaceExtension(".").value()) << "row " << i;
    }
}

// Paths are byte strings: an embedded NUL is an ordinary byte, never an end of text.
TEST(FilePathTest, EmbeddedNulInExtension) {
    const std::string sPath("x.tar.gz\0", 9);
    EXPECT_EQ(std::string(".gz\0", 4), FilePath(sPath).Extension());
    EXPECT_EQ("x.tar", FilePath(sPath).RemoveExtension().value());
}

TEST(FilePathTest, Append) {
    const struct {
        const char* szPath;
        const char* szComponent;
        const char* szExpected;
    } kRows[] = {
        {"", "a", "a"},      {"/", "a", "/a"},   {"a", "b", "a/b"},   {"a/", "b", "a/b"},
        {"a//", "b", "a/b"}, {"a/", "", "a"},    {".", "b", "b"},     {".", "", ""},
        {"//", "a", "//a"},  {"./", "b", "./b"}, {"a", "/b", "a//b"}, {"", "", ""},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const FilePath oPath(kRows[i].szPath);
        const std::string sComponent = kRows[i].szComponent;
        EXPECT_EQ(kRows[i].szExpected, oPath.Append(sComponent).value()) << "row " << i;
        EXPECT_EQ(kRows[i].szExpected, oPath.Append(FilePath(sComponent)).value())
            << "row " << i << " (FilePath argument)";
    }
}

TEST(FilePathTest, AppendRelativePath) {
    const struct {
        const char* szParent;
        const char* szChild;
        bool bExpected;
        const char* szResult;  // the path after the call, starting from "/x"
    } kRows[] = {
        {"/foo/bar", "/foo/bar/baz/qux", true, "/x/baz/qux"},
        {"/foo/bar/", "/foo/bar/baz", true, "/x/baz"},
        {"/foo/bar", "/foo/bar", false, "/x"},
        {"/foo/bar", "/foo/barn/baz", false, "/x"},
        {"/foo/bar/baz", "/foo/bar", false, "/x"},
        {"/", "/a", true, "/x/a"},
        {"/a", "//a/b", false, "/x"},
        {"", "a", false, "/x"},
        {"a", "/a/b", false, "/x"},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        FilePath oPath("/x");
        EXPECT_EQ(
            kRows[i].bExpected,
            FilePath(kRows[i].szParent).AppendRelativePath(FilePath(kRows[i].szChild), &oPath))
            << "row " << i;
        EXPECT_EQ(kRows[i].szResult, oPath.value()) << "row " << i;
        EXPECT_EQ(
            kRows[i].bExpected,
            FilePath(kRows[i].szParent).AppendRelativePath(FilePath(kRows[i].szChild), nullptr))
            << "row " << i << " (null path)";
    }

    // Appending to "." replaces it.
    FilePath oDot(".");
    EXPECT_TRUE(FilePath("a").AppendRelativePath(FilePath("a/b"), &oDot));
    EXPECT_EQ("b", oDot.value());
}

TEST(FilePathTest, ReferencesParentAndIsAbsolute) {
    const struct {
        const char* szPath;
        bool bReferencesParent;
        bool bAbsolute;
    } kRows[] = {
        {"a/../b", true, false}, {"/a/b/..", true, true}, {"..", true, false},
        {"a/..b", false, false}, {"...", false, false},   {"/a", false, true},
        {"a", false, false},     {"", false, false},      {"//", false, true},
    };
    for (size_t i = 0; i < sizeof(kRows) / sizeof(kRows[0]); ++i) {
        const FilePath oPath(kRows[i].szPath);
        EXPECT_EQ(kRows[i].bReferencesParent, oPath.ReferencesParent()) << "row " << i;
        EXPECT_EQ(kRows[i].bAbsolute, oPath.IsAbsolute()) << "row " << i;
    }
}

TEST(FilePathTest, ComparisonIsExact) {
    EXPECT_TRUE(FilePath("a/b") == FilePath("a/b"));
    EXPECT_TRUE(FilePath("a/") != FilePath("a"));
    EXPECT_TRUE(FilePath("A") != FilePath("a"));
    EXPECT_TRUE(FilePath() == FilePath(""));

    FilePath oCopy(FilePath("x/y"));
    EXPECT_EQ("x/y", oCopy.value());
    oCopy = FilePath("z");
    EXPECT_EQ("z", oCopy.value());
}

TEST(FilePathTest, IsSeparator) {
    EXPECT_TRUE(FilePath::IsSeparator('/'));
    EXPECT_FALSE(FilePath::IsSeparator('\\'));
    EXPECT_FALSE(FilePath::IsSeparator('\0'));
}

}  // namespace
