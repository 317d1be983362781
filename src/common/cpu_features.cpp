#include "common/cpu_features.h"

namespace vorm_zel {

bool cpu_has_avx2() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

}  // namespace vorm_zel
