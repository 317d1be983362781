// What the CPU the process runs on can do, for picking among kernels that
// give identical results.
#pragma once

namespace vorm_zel {

// True on x86-64 CPUs with AVX2 (as the CPU and the OS report it); false
// elsewhere.
[[nodiscard]] bool cpu_has_avx2() noexcept;

}  // namespace vorm_zel
