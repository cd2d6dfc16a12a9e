// Test helpers for the tests that write files: a new folder of its own under
// the temporary folder, one removed with everything in it at the end of its
// scope, and a whole-file read. Portable (no mkdtemp on Windows).
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace velmora_test {

inline std::filesystem::path NewScratchDir()
{
    const auto nStamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::filesystem::path dir;
    for (int n = 0; !std::filesystem::create_directory(
             dir = std::filesystem::temp_directory_path() /
                   ("velmora-" + std::to_string(nStamp) + "-" + std::to_string(n)));
         ++n) {
    }
    return dir;
}

struct ScratchDir {
    ScratchDir() = default;
    ~ScratchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path root = NewScratchDir();
};

inline std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace velmora_test
