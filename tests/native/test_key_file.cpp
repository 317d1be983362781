// Engine opening and the key file: a created key is private and shared by
// later engines; an existing key file that others could read, change or swap
// is still used, but the concern names each problem.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/hex.h"
#include "engine/key_file.h"
#include "engine/zel_engine.h"
#include "scratch_directory.h"

namespace vorm_zel {
namespace {

using testing::ScratchDirectory;
using testing::write_file;

const std::string kSeed(32, '\x5a');

TEST(KeyFile, CreatedPrivateAndSharedWithoutConcern) {
    const ScratchDirectory dir;
    const std::string wal_path = dir.file("audit.wal");
    Result<OpenedEngine> first = open_engine(wal_path);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->key_file_concern, "");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"audit.wal", "audit.wal.key"}));
    struct stat info {};
    ASSERT_EQ(::lstat((wal_path + ".key").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(info.st_size, 32);

    Result<OpenedEngine> second = open_engine(wal_path);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->key_file_concern, "");
    EXPECT_EQ(second->engine.signing_key.public_key(), first->engine.signing_key.public_key());
    EXPECT_EQ(second->engine.chain_root, genesis_root());
}

TEST(KeyFile, InMemoryKeysAreFreshAndUnsaved) {
    Result<OpenedEngine> a = open_engine(std::string(kInMemoryPath));
    Result<OpenedEngine> b = open_engine(std::string(kInMemoryPath));
    ASSERT_TRUE(a.has_value());
    ASSERT_TRUE(b.has_value());
    EXPECT_NE(a->engine.signing_key.public_key(), b->engine.signing_key.public_key());
    EXPECT_EQ(a->key_file_concern, "");
}

struct UnsafeKey {
    const char* name;
    unsigned mode;
    bool through_link;
    const char* concern;  // empty: a safe key file
};

class KeyFileConcern : public ::testing::TestWithParam<UnsafeKey> {};

TEST_P(KeyFileConcern, NamesEachProblemAndStillReadsTheKey) {
    const UnsafeKey& c = GetParam();
    const ScratchDirectory dir;
    const std::string key_path = dir.file("audit.wal.key");
    const std::string target = c.through_link ? dir.file("real.key") : key_path;
    write_file(target, kSeed, c.mode);
    if (c.through_link) {
        ASSERT_EQ(::symlink(target.c_str(), key_path.c_str()), 0);
    }
    Result<LoadedSeed> loaded = read_seed(key_path);
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(loaded->concern, c.concern);
    EXPECT_EQ(std::string(loaded->seed.bytes().begin(), loaded->seed.bytes().end()), kSeed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KeyFileConcern,
    ::testing::Values(
        UnsafeKey{"private", 0600, false, ""}, UnsafeKey{"read_only_private", 0400, false, ""},
        UnsafeKey{"group_readable", 0640, false, "group or others have access to it (mode 0640)"},
        UnsafeKey{"others_writable", 0602, false,
                  "group or others have access to it (mode 0602)"},
        UnsafeKey{"link_to_private", 0600, true, "it is a symbolic link"},
        UnsafeKey{"link_to_readable", 0644, true,
                  "it is a symbolic link; group or others have access to it (mode 0644)"}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(KeyFile, ConcernNamesAnotherOwner) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a file to another user needs root";
    }
    const ScratchDirectory dir;
    const std::string key_path = dir.file("audit.wal.key");
    write_file(key_path, kSeed, 0600);
    ASSERT_EQ(::chown(key_path.c_str(), 4242, 4242), 0);
    Result<LoadedSeed> loaded = read_seed(key_path);
    ASSERT_TRUE(loaded.has_value());
    EXPECT_EQ(loaded->concern, "it is owned by uid 4242, not by this user (uid 0)");
}

TEST(KeyFile, WrongLengthNamesTheLengthOnly) {
    const ScratchDirectory dir;
    for (const std::size_t length : {0u, 31u, 33u}) {
        const std::string key_path = dir.file(std::to_string(length) + ".key");
        write_file(key_path, std::string(length, '\xab'), 0600);
        Result<LoadedSeed> loaded = read_seed(key_path);
        ASSERT_FALSE(loaded.has_value());
        EXPECT_EQ(loaded.error().message,
                  "Invalid key length: expected 32 bytes, found " + std::to_string(length));
    }
}

}  // namespace
}  // namespace vorm_zel
