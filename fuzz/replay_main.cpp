// A plain main for the fuzz targets where libFuzzer is not available: runs the target once over
// every file named on the command line and every file inside the folders named there (in name
// order), each input in a heap block of exactly its size. Arguments starting with '-' are
// libFuzzer options and are ignored, so both builds take the same command line.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize);

namespace {

// The files to run: the argument itself, or the regular files inside it.
bool CollectInputs(const std::filesystem::path& oPath, std::vector<std::filesystem::path>& vecOut) {
    std::error_code oErr;
    if (!std::filesystem::is_directory(oPath, oErr)) {
        vecOut.push_back(oPath);
        return true;
    }
    std::vector<std::filesystem::path> vecFiles;
    for (const auto& oEntry : std::filesystem::directory_iterator(oPath, oErr)) {
        if (oEntry.is_regular_file()) {
            vecFiles.push_back(oEntry.path());
        }
    }
    if (oErr) {
        fprintf(stderr, "cannot read folder %s: %s\n", oPath.c_str(), oErr.message().c_str());
        return false;
    }
    std::sort(vecFiles.begin(), vecFiles.end());
    vecOut.insert(vecOut.end(), vecFiles.begin(), vecFiles.end());
    return true;
}

bool RunFile(const std::filesystem::path& oPath) {
    std::ifstream oFile(oPath, std::ios::binary);
    if (!oFile) {
        fprintf(stderr, "cannot open %s\n", oPath.c_str());
        return false;
    }
    const std::string sBytes((std::istreambuf_iterator<char>(oFile)),
                             std::istreambuf_iterator<char>());
    std::unique_ptr<uint8_t[]> pData(new uint8_t[sBytes.size()]);
    std::copy(sBytes.begin(), sBytes.end(), pData.get());
    LLVMFuzzerTestOneInput(pData.get(), sBytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> vecInputs;
    bool bOk = true;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-') {
            bOk = CollectInputs(argv[i], vecInputs) && bOk;
        }
    }
    size_t nRun = 0;
    for (const std::filesystem::path& oPath : vecInputs) {
        if (RunFile(oPath)) {
            ++nRun;
        } else {
            bOk = false;
        }
    }
    // Standard error: a target may have sent standard output elsewhere.
    fprintf(stderr, "%s: replayed %zu inputs\n", argv[0], nRun);
    return bOk ? 0 : 1;
}
