#pragma once

#include <filesystem>
#include <string>

namespace trv::test {

// A fresh directory under the system's temporary folder, removed with its
// content when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The whole content of a file ("" when it cannot be read).
std::string readFile(const std::filesystem::path& path);

} // namespace trv::test
