/* Counts the heap a process holds, for the peak-memory measurement of the Python benchmark.
 * Preloaded (LD_PRELOAD) into a fresh interpreter run with PYTHONMALLOC=malloc, it wraps the
 * C allocator and keeps the bytes in use (by malloc_usable_size) and their peak since the last
 * reset; the interpreter reads them through ctypes. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <malloc.h>
#include <stddef.h>
#include <string.h>

static void *(*real_malloc)(size_t);
static void (*real_free)(void *);
static void *(*real_calloc)(size_t, size_t);
static void *(*real_realloc)(void *, size_t);
static void *(*real_memalign)(size_t, size_t);

/* dlsym itself may allocate before the real functions are known: serve it from here. */
static _Alignas(16) char boot[1 << 16];
static size_t boot_used;
static int resolving;

static size_t current, peak;

static void *boot_alloc(size_t n) {
  n = (n + 15) & ~(size_t)15;
  if (n > sizeof boot - boot_used) return NULL;
  void *p = boot + boot_used;
  boot_used += n;
  return p;
}

static int in_boot(const void *p) {
  return (const char *)p >= boot && (const char *)p < boot + sizeof boot;
}

static void resolve(void) {
  resolving = 1;
  real_malloc = dlsym(RTLD_NEXT, "malloc");
  real_free = dlsym(RTLD_NEXT, "free");
  real_calloc = dlsym(RTLD_NEXT, "calloc");
  real_realloc = dlsym(RTLD_NEXT, "realloc");
  real_memalign = dlsym(RTLD_NEXT, "memalign");
  resolving = 0;
}

static void *counted(void *p) {
  if (p != NULL) {
    size_t now = __atomic_add_fetch(&current, malloc_usable_size(p), __ATOMIC_RELAXED);
    if (now > peak) peak = now;
  }
  return p;
}

void *malloc(size_t n) {
  if (real_malloc == NULL) {
    if (resolving) return boot_alloc(n);
    resolve();
  }
  return counted(real_malloc(n));
}

void *calloc(size_t count, size_t size) {
  if (real_calloc == NULL) {
    if (resolving) return boot_alloc(count * size); /* static storage is zeroed */
    resolve();
  }
  return counted(real_calloc(count, size));
}

void free(void *p) {
  if (p == NULL || in_boot(p)) return;
  if (real_free == NULL) resolve();
  __atomic_sub_fetch(&current, malloc_usable_size(p), __ATOMIC_RELAXED);
  real_free(p);
}

void *realloc(void *p, size_t n) {
  if (real_realloc == NULL) resolve();
  if (p != NULL && in_boot(p)) {
    void *q = malloc(n);
    if (q != NULL) {
      size_t room = (size_t)(boot + sizeof boot - (char *)p);
      memcpy(q, p, n < room ? n : room);
    }
    return q;
  }
  size_t old = p == NULL ? 0 : malloc_usable_size(p);
  void *q = real_realloc(p, n);
  if (q == NULL) return NULL;
  __atomic_sub_fetch(&current, old, __ATOMIC_RELAXED);
  return counted(q);
}

void *memalign(size_t alignment, size_t n) {
  if (real_memalign == NULL) resolve();
  return counted(real_memalign(alignment, n));
}

void *aligned_alloc(size_t alignment, size_t n) { return memalign(alignment, n); }

int posix_memalign(void **out, size_t alignment, size_t n) {
  void *p = memalign(alignment, n);
  if (p == NULL) return 12; /* ENOMEM */
  *out = p;
  return 0;
}

size_t memshim_current(void) { return current; }

size_t memshim_peak(void) { return peak; }

void memshim_reset_peak(void) { peak = current; }
