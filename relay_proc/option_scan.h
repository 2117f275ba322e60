// The command line of a relay server, scanned by getopt_long: each option in order is
// handed to the caller, who checks and keeps its value. Long options may also be written
// --name=value; a value may start with '-' (--port-offset -5); scanning stops at the
// first argument that is no option, which is refused.
//
//   {"listen", 0, true}, {"dump", 0, false}, {"config", 'c', true} ...
//   "--listen ::1 -c a.toml"  -> fnOption(0, "::1"), fnOption(2, "a.toml")
//   "--dump=yes"              -> "--dump takes no value"
//   "--listen"                -> "--listen needs a value"
//   "--bogus", "-x"           -> "unknown option '--bogus'", "unknown option '-x'"
//   "stray"                   -> "unexpected argument 'stray'"
#ifndef RELAY_PROC_OPTION_SCAN_H
#define RELAY_PROC_OPTION_SCAN_H

#include <functional>
#include <string>
#include <vector>

namespace relay_proc {

struct SOptionSpec {
    const char* m_szLong;  // "listen" for --listen; nullptr for a short option only
    char m_cShort;         // 'c' for -c; 0 for none
    bool m_bTakesValue;
};

// What the caller makes of one option.
enum OPTION_STEP {
    OS_NEXT,  // kept: go on
    OS_STOP,  // stop scanning and succeed (--help, --version)
    OS_FAIL,  // refused: the reason is in sWhy
};

// fnOption(index into vecSpecs, value ("" without one), sWhy).
using OPTION_FN = std::function<OPTION_STEP(size_t, const std::string&, std::string&)>;

// Scans argv[1..argc). False with one line in sErrMsg for an unknown option, a missing
// or unwanted value, an argument that is no option, or the caller's refusal ("--listen:
// <why>", or sWhy alone when it names the option itself, starting with "--").
bool ScanOptions(int argc, const char* const* argv, const std::vector<SOptionSpec>& vecSpecs,
                 const OPTION_FN& fnOption, std::string& sErrMsg);

}  // namespace relay_proc

#endif  // RELAY_PROC_OPTION_SCAN_H
