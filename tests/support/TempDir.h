// A temporary directory tree for one test: files are written by paths
// relative to its root, Enter() makes a folder of it the current directory,
// and the destructor restores the previous current directory and removes
// the tree.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

class TempDir {
public:
    TempDir() : m_oldCwd(std::filesystem::current_path())
    {
        std::string strTemplate =
            (std::filesystem::temp_directory_path() / "velmora-test-XXXXXX").string();
        if (mkdtemp(&strTemplate[0]) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_root = strTemplate;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::current_path(m_oldCwd, ec);
        std::filesystem::remove_all(m_root, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Root() const { return m_root; }

    // Creates the file (and its folders) with exactly these bytes.
    void Write(const std::string& strRelPath, const std::string& strContent) const
    {
        const std::filesystem::path path = m_root / strRelPath;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(strContent.data(), static_cast<std::streamsize>(strContent.size()));
        if (!file)
            throw std::runtime_error("cannot write " + path.string());
    }

    // Creates the folder if needed and makes it the current directory.
    void Enter(const std::string& strRelDir) const
    {
        const std::filesystem::path path = m_root / strRelDir;
        std::filesystem::create_directories(path);
        std::filesystem::current_path(path);
    }

private:
    std::filesystem::path m_oldCwd;
    std::filesystem::path m_root;
};
