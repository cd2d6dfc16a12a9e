// File helpers of the tests: a new folder under the temporary folder (no
// mkdtemp on Windows), as a path the caller removes or as a scope that removes
// it, and a whole-file read.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace velmora_test {

inline std::filesystem::path NewScratchDir()
{
    static int s_nSeq = 0;
    const auto nStamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("velmora-" + std::to_string(nStamp) + "-" + std::to_string(s_nSeq++));
    std::filesystem::create_directories(dir);
    return dir;
}

struct ScratchDir {
    ~ScratchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    std::filesystem::path root = NewScratchDir();
};

inline std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace velmora_test
