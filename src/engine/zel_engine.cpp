#include "engine/zel_engine.h"

#include "engine/key_file.h"
#include "engine/log_writer.h"

namespace vorm_zel {
namespace {

Result<LoadedSeed> seed_for(const std::string& wal_path) {
    if (wal_path == kInMemoryPath) {
        VZ_TRY_ASSIGN(SecretSeed seed, random_seed());
        return LoadedSeed{std::move(seed), {}};
    }
    touch_log(wal_path);
    return load_or_create_seed(wal_path);
}

}  // namespace

Result<OpenedEngine> open_engine(std::string wal_path) {
    // The seed is wiped when `loaded` goes, on this path and every other.
    VZ_TRY_ASSIGN(LoadedSeed loaded, seed_for(wal_path));
    return OpenedEngine{
        ZELEngine{ScoringState{}, std::move(wal_path), SigningKey(loaded.seed), genesis_root(), {}},
        std::move(loaded.concern)};
}

}  // namespace vorm_zel
