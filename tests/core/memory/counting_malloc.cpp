#include "memory/counting_malloc.h"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {

std::atomic<std::int64_t> live{0};
std::atomic<std::int64_t> peak{0};

void* counted(void* p) noexcept {
  if (p != nullptr) {
    const std::int64_t now =
        live.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p))) +
        static_cast<std::int64_t>(malloc_usable_size(p));
    std::int64_t high = peak.load(std::memory_order_relaxed);
    while (now > high && !peak.compare_exchange_weak(high, now)) {
    }
  }
  return p;
}

void uncount(void* p) noexcept {
  if (p != nullptr) live.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)));
}

}  // namespace

extern "C" {

void* malloc(std::size_t n) { return counted(__libc_malloc(n)); }

void* calloc(std::size_t count, std::size_t n) { return counted(__libc_calloc(count, n)); }

void* realloc(void* p, std::size_t n) {
  // The new block is counted before the old one is dropped, as a moving realloc holds both at
  // once; for one that grows in place this overstates the peak, which errs on the safe side.
  const std::int64_t old_size = p == nullptr ? 0 : static_cast<std::int64_t>(malloc_usable_size(p));
  void* q = __libc_realloc(p, n);
  if (q == nullptr) {
    if (n == 0) live.fetch_sub(old_size);  // glibc frees p for a size of zero
    return nullptr;
  }
  counted(q);
  live.fetch_sub(old_size);
  return q;
}

void free(void* p) {
  uncount(p);
  __libc_free(p);
}

void* memalign(std::size_t alignment, std::size_t n) {
  return counted(__libc_memalign(alignment, n));
}

void* aligned_alloc(std::size_t alignment, std::size_t n) {
  return counted(__libc_memalign(alignment, n));
}

int posix_memalign(void** out, std::size_t alignment, std::size_t n) {
  void* p = counted(__libc_memalign(alignment, n));
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}

}  // extern "C"

namespace tarnel::memory_testing {

std::int64_t live_octets() noexcept { return live.load(); }

std::int64_t reset_peak() noexcept {
  const std::int64_t now = live.load();
  peak.store(now);
  return now;
}

std::int64_t peak_octets() noexcept { return peak.load(); }

}  // namespace tarnel::memory_testing
