// CFileHandler: the process-wide file-system service of the utility library.
//
// File sizes, path pieces (through FilePath), existence tests, directory creation and
// listing, and a reader for delimiter-separated text files. The class holds no data; its
// one instance is created on first use and never destroyed. Failures come back as a false
// or zero result; nothing throws or prints.
#ifndef DEV_TOOLS_FILE_HANDLER_H
#define DEV_TOOLS_FILE_HANDLER_H

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

class CFileHandler {
public:
    // One directory entry.
    struct SFileInfo {
        std::string sFileName;  // the name as the directory lists it, no directory part
        struct stat stat = {};  // all zero when the status call for the entry failed
    };

    // Rows of columns, one row per non-empty line.
    typedef std::vector<std::vector<std::string> > column_data_t;

    static CFileHandler& GetInstance();

    // FilePath(sPath).DirName() / BaseName() / Extension() as text.
    std::string DirName(const std::string& sPath) const;
    std::string BaseName(const std::string& sPath) const;
    std::string Extension(const std::string& sPath) const;

    // access() existence test; follows symbolic links, so a dangling link gives false.
    bool IsPathExists(const std::string& sPath);
    // stat() (links followed) succeeds and the entry is a directory.
    bool IsDirExists(const std::string& sDirPath);

    // Makes sFullPath and every missing ancestor with mode 0700 (less the umask). False at
    // the first level that cannot be made; the levels made before it stay.
    bool CreateDirectory(const std::string& sFullPath);

    // Appends one row per non-empty line of the file: the runs of characters not in
    // sDelims. False only when the file cannot be opened (vecColumns then unchanged).
    bool ReadColumnData(const std::string& sFilePath, column_data_t& vecColumns,
                        const std::string& sDelims);

    // Appends every entry of the directory, "." and ".." included, in stream order; the
    // status by lstat when bShowLink, else by stat. False only when it cannot be opened.
    bool ReadDirectory(std::vector<SFileInfo>& vecFiles, const std::string& sDirPath,
                       bool bShowLink);

    // The full size reported by stat() (links followed); 0 when the status call fails.
    uint64_t GetFileSize(const std::string& sPath) const;

    // Removes every character of the set sDelims from both ends of sStr, in place.
    std::string& TrimString(std::string& sStr, const std::string& sDelims);

private:
    CFileHandler() = default;
    CFileHandler(const CFileHandler&) = delete;
    CFileHandler& operator=(const CFileHandler&) = delete;

    static CFileHandler* m_pInstance;
};

#endif  // DEV_TOOLS_FILE_HANDLER_H
