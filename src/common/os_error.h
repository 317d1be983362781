// Text of an operating-system error: the system's message and its code.
#pragma once

#include <string>

namespace vorm_zel {

// "No such file or directory (os error 2)"
[[nodiscard]] std::string os_error_detail(int error_number);

}  // namespace vorm_zel
