// One line of the write-ahead log: the record's fifteen members as a compact
// JSON object, in field order, followed by "\n".
#pragma once

#include <string>

#include "records/sealed_record.h"

namespace vorm_zel {

[[nodiscard]] std::string log_line(const SealedRecord& record);

}  // namespace vorm_zel
