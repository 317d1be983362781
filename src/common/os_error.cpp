#include "common/os_error.h"

#include <cstring>

namespace vorm_zel {

std::string os_error_detail(int error_number) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(error_number, buf, sizeof buf);
    std::string detail(text);
    detail += " (os error ";
    detail += std::to_string(error_number);
    detail += ')';
    return detail;
}

}  // namespace vorm_zel
