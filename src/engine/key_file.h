// The signing seed of an engine: 32 raw bytes in the key file next to the log
// (wal_path + ".key").
#pragma once

#include <string>

#include "common/result.h"
#include "engine/signing_key.h"

namespace vorm_zel {

// A seed and, when it came from an existing key file that others could read,
// change or swap, why: the file is still used, the caller reports the concern.
struct LoadedSeed {
    SecretSeed seed;
    std::string concern;  // empty when the file is safe (or was just created)
};

// An existing key file is only read. An absent one is created exclusively
// with owner-only permissions and appears complete or not at all: the seed
// is written to a temporary file in the same directory, synced, then linked
// into place. When another process links its key first, that key is read,
// so engines racing on one new path all end with the same identity.
[[nodiscard]] Result<LoadedSeed> load_or_create_seed(const std::string& wal_path);

// Reads a key file that must hold exactly 32 bytes, and judges it: a safe
// key file is a regular file (not a link) owned by this process's user with
// no permission bits for group or others.
[[nodiscard]] Result<LoadedSeed> read_seed(const std::string& key_path);

// A fresh seed from the OS random source ("Error: ..." on failure).
[[nodiscard]] Result<SecretSeed> random_seed();

}  // namespace vorm_zel
