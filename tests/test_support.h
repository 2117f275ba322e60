// Shared test helpers: run a program with a time limit and capture what it prints;
// a temporary folder removed with its contents.
#ifndef FANOUT_TESTS_TEST_SUPPORT_H
#define FANOUT_TESTS_TEST_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

struct SRunResult {
    int iExitStatus = -1;  // exit status, or 128 + signal number when killed by a signal
    bool bTimedOut = false;
    std::string sStdout;
    std::string sStderr;
    long lElapsedMs = 0;
};

// Runs vecArgs[0] (a path, no lookup) with the arguments; argv[0] is sArgv0 when it is
// not empty; ddwMemLimit, when not 0, limits its address space. Kills the program when
// it runs longer than iTimeoutMs.
SRunResult RunProgram(const std::vector<std::string>& vecArgs, int iTimeoutMs = 20000,
                      const std::string& sArgv0 = "", uint64_t ddwMemLimit = 0);

// The client binary of this build with the given arguments.
SRunResult RunClient(const std::vector<std::string>& vecArgs, int iTimeoutMs = 20000);

// The client with its address space limited to ddwBytes (RLIMIT_AS), so that an input
// it would hold whole runs out of memory early.
SRunResult RunClientInMemory(const std::vector<std::string>& vecArgs, uint64_t ddwBytes);

// A fresh folder under /tmp, removed with everything in it on destruction.
class CTempDir {
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;

    const std::string& Path() const { return m_sPath; }
    // Writes sContent to Path()/sName and returns the full path.
    std::string WriteFile(const std::string& sName, const std::string& sContent) const;

private:
    std::string m_sPath;
};

// The ANSI-coloured result tags, as the client prints them.
extern const char* const kRedError;
extern const char* const kGreenOk;

// The driver's line for a failed delivery with reason sMsg.
std::string FailureLine(const std::string& sMsg);

}  // namespace test_support

#endif  // FANOUT_TESTS_TEST_SUPPORT_H
