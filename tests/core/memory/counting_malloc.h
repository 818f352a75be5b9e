// A counting allocator for this test executable only: malloc, calloc, realloc, the aligned
// allocators and free are replaced by thin wrappers around glibc's own, which keep the number of
// live heap octets (as malloc_usable_size reports them) and its high-water mark. operator new and
// the core's buffers both end up here, so a read's peak is everything it allocated at once.
#pragma once

#include <cstdint>

namespace tarnel::memory_testing {

/// Live heap octets now.
std::int64_t live_octets() noexcept;

/// Sets the high-water mark to the live count and returns it.
std::int64_t reset_peak() noexcept;

/// The most octets live at once since the last `reset_peak`.
std::int64_t peak_octets() noexcept;

}  // namespace tarnel::memory_testing
