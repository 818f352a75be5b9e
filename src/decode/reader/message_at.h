// The display text of a refusal: its message, " at offset ", and the offset in decimal, for the
// core's refusals of every kind (the reader's, the pattern compiler's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarnel {

/// Writes `message` and " at offset OFFSET" to `out`, which holds `error_display_capacity`
/// octets (every message is checked to fit where it is defined); returns the count written.
std::size_t format_message_at(std::string_view message, std::uint64_t offset, char* out) noexcept;

}  // namespace tarnel
