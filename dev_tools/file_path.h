// FilePath: a value class over one path text.
//
// A FilePath holds a byte string and answers questions about its text only; it never
// touches the file system. The separator is '/' alone and there are no drive letters.
// Components are taken as written: "." and ".." inside a path stay components, runs of
// separators count as one, and trailing separators are ignored. The root "/" and a
// leading "//" are kept as they are; three or more leading separators alone collapse to
// "/". Every const method returns a new value; the receiver never changes.
//
// Examples (input -> output):
//   BaseName        "/tmp/x.txt" -> "x.txt"   "a/b/" -> "b"    "//" -> "//"   "" -> ""
//   DirName         "/tmp/x.txt" -> "/tmp"    "a" -> "."       "//a" -> "//"  "" -> "."
//   GetComponents   "/a/b" -> {"/", "a", "b"} "../a" -> {"..", "a"}  "./a" -> {"a"}
//   Extension       "x.tar.gz" -> ".tar.gz"   "x.backup.gz" -> ".gz"  ".bashrc" -> ".bashrc"
//   RemoveExtension "x.tar.gz" -> "x"         "/x/.bashrc" -> "/x/"   "a.b/" -> "a"
//   ReplaceExtension("jpg" or ".jpg") "x.txt" -> "x.jpg"   ("") "x.txt" -> "x"   "." -> ""
//   Append          "a/" + "b" -> "a/b"       "." + "b" -> "b"  "//" + "a" -> "//a"
//   AppendRelativePath  parent "/foo/bar", child "/foo/bar/baz/qux", path "/x"
//                       -> true, path becomes "/x/baz/qux"; a parent equal to the child -> false
//   IsAbsolute      "/a" -> true              "a" -> false     "" -> false
//   ReferencesParent "a/../b" -> true         "a/..b" -> false
#ifndef DEV_TOOLS_FILE_PATH_H
#define DEV_TOOLS_FILE_PATH_H

#include <string>
#include <vector>

class FilePath {
public:
    typedef std::string StringType;
    typedef StringType::value_type CharType;

    // The set of separator characters, and the first one is the one written by Append.
    static const CharType kSeparators[];
    static const CharType kCurrentDirectory[];
    static const CharType kParentDirectory[];
    static const CharType kExtensionSeparator;

    FilePath();
    FilePath(const FilePath& that);
    explicit FilePath(const StringType& path);
    ~FilePath();

    FilePath& operator=(const FilePath& that);

    // Exact byte comparison: "a/" differs from "a".
    bool operator==(const FilePath& that) const;
    bool operator!=(const FilePath& that) const;

    const StringType& value() const { return path_; }

    static bool IsSeparator(CharType character);

    // Components root first; a null pointer does nothing.
    void GetComponents(std::vector<StringType>* components) const;

    // True when this path is a proper ancestor of child (compared component by component);
    // then appends the rest of child's components to *path when path is not null.
    bool AppendRelativePath(const FilePath& child, FilePath* path) const;

    FilePath DirName() const;
    FilePath BaseName() const;

    // The extension of the last component with its dot, or an empty string.
    StringType Extension() const;
    FilePath RemoveExtension() const;
    FilePath ReplaceExtension(const StringType& extension) const;

    FilePath Append(const StringType& component) const;
    FilePath Append(const FilePath& component) const;

    bool IsAbsolute() const;
    bool ReferencesParent() const;

private:
    // Drops trailing separators, but never the root "/" nor a leading "//".
    void StripTrailingSeparatorsInternal();

    StringType path_;
};

#endif  // DEV_TOOLS_FILE_PATH_H
