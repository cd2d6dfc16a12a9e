// Test helpers for the platform tests that write files: a scratch folder
// removed with everything in it at the end of its scope, and a whole-file read.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace velmora_test {

struct ScratchDir {
    ScratchDir()
    {
        std::string strTemplate = (std::filesystem::temp_directory_path() / "nox-XXXXXX").string();
        if (mkdtemp(&strTemplate[0]) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        root = strTemplate;
    }
    ~ScratchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::filesystem::path root;
};

inline std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace velmora_test
