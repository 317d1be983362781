// A fresh directory for one test, removed with everything in it afterwards,
// and whole-file reads and writes inside it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vorm_zel::testing {

class ScratchDirectory {
public:
    ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory();

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::string file(const std::string& name) const;
    // The names in the directory, sorted.
    [[nodiscard]] std::vector<std::string> entries() const;

private:
    std::filesystem::path path_;
};

std::string read_file(const std::string& path);
// Creates or truncates the file with the given permission bits.
void write_file(const std::string& path, const std::string& content, unsigned mode = 0600);

}  // namespace vorm_zel::testing
