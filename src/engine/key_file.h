// The signing seed of an engine: 32 raw bytes in the key file next to the log
// (wal_path + ".key"), or fresh random bytes for ":memory:".
#pragma once

#include <string>
#include <string_view>

#include "common/expected.h"
#include "engine/signing_key.h"

namespace vorm_zel {

inline constexpr std::string_view kInMemoryPath = ":memory:";

// An existing key file is only read. An absent one is created exclusively
// with owner-only permissions and appears complete or not at all: the seed
// is written to a temporary file in the same directory, synced, then linked
// into place. When another process links its key first, that key is read,
// so engines racing on one new path all end with the same identity.
[[nodiscard]] Outcome<SecretSeed> load_or_create_seed(const std::string& wal_path);

// Reads a key file that must hold exactly 32 bytes.
[[nodiscard]] Outcome<SecretSeed> read_seed(const std::string& key_path);

// A fresh seed from the OS random source ("Error: ..." on failure).
[[nodiscard]] Outcome<SecretSeed> random_seed();

}  // namespace vorm_zel
