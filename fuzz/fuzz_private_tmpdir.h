// Gives the fuzzing process a key-file directory of its own (TMPDIR), so that
// the System V objects a handle makes never meet those of other processes or
// of parallel runs, and removes the directory when the process exits. The
// objects themselves go with the last handle or checker that used them.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

class CPrivateTmpDir {
public:
    CPrivateTmpDir()
    {
        std::string strTemplate = (std::filesystem::temp_directory_path() / "kyrfuzz.XXXXXX").string();
        if (::mkdtemp(strTemplate.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        m_strDir = strTemplate;
        ::setenv("TMPDIR", m_strDir.c_str(), 1);
    }
    ~CPrivateTmpDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_strDir, ec);
    }
    CPrivateTmpDir(const CPrivateTmpDir&) = delete;
    CPrivateTmpDir& operator=(const CPrivateTmpDir&) = delete;

    const std::string& Path() const { return m_strDir; }

private:
    std::string m_strDir;
};

// The process's one private directory, made at the first call.
inline CPrivateTmpDir& TmpDir()
{
    static CPrivateTmpDir dir;
    return dir;
}
