// One line of the write-ahead log: the record's fifteen members as a compact
// JSON object, in field order, followed by "\n".
#pragma once

#include <string>

#include "json/line_buffer.h"
#include "records/sealed_record.h"

namespace vorm_zel {

// Writes the line into out, replacing what it held but keeping its capacity,
// so that a buffer kept between records is not allocated again.
void write_log_line(LineBuffer& out, const SealedRecord& record);

[[nodiscard]] std::string log_line(const SealedRecord& record);

}  // namespace vorm_zel
