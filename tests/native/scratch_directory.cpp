#include "scratch_directory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>

namespace vorm_zel::testing {

namespace fs = std::filesystem;

ScratchDirectory::ScratchDirectory() {
    std::string pattern = (fs::temp_directory_path() / "vorm_zel_test_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed: errno " << errno;
    }
    path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string ScratchDirectory::file(const std::string& name) const {
    return (path_ / name).string();
}

std::vector<std::string> ScratchDirectory::entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string& path, const std::string& content, unsigned mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                          static_cast<mode_t>(mode));
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::fchmod(fd, static_cast<mode_t>(mode)), 0) << path;  // whatever the umask
    ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
}

}  // namespace vorm_zel::testing
