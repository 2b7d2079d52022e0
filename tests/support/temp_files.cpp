#include "temp_files.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace rig {

TempFolder::TempFolder(const std::string &prefix)
{
    std::string pattern = "/tmp/" + prefix + ".XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "no folder " << pattern << ": " << std::strerror(errno);
        return;
    }
    dir_ = pattern;
}

TempFolder::~TempFolder()
{
    if (Made()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

std::string TempFolder::Write(const std::string &name, const std::string &text) const
{
    std::string path = Path(name);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    if (!file.flush())
        ADD_FAILURE() << "cannot write " << path;
    return path;
}

ScriptFile::ScriptFile(const std::string &text, const std::string &name)
    : folder("kyt_script"), dir(folder.Dir()), path(folder.Write(name, text))
{
}

int UnnamedFile(const std::string &text)
{
    char name[] = "/tmp/kyt_unnamed.XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) {
        ADD_FAILURE() << "no temporary file: " << std::strerror(errno);
        return -1;
    }
    unlink(name);
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        ADD_FAILURE() << "cannot write a temporary file";
        close(fd);
        return -1;
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

} // namespace rig
