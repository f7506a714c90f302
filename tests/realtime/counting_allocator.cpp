// The counting allocator behind the real-time tests: a replaced global
// operator new and delete, and malloc counted through the sanitizer's
// allocation hook or, in a build without sanitizers, by replacing malloc.
// Kept apart from the tests so the compiler cannot see through it.
#include "counting_allocator.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define GW_SANITIZER_HOOKS 1
// From the sanitizers' public allocator interface; declared here because
// gcc does not ship its header.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*onMalloc)(const volatile void*,
                                                                          std::size_t),
                                                         void (*onFree)(const volatile void*));
#else
#define GW_SANITIZER_HOOKS 0
#endif

namespace {

// Only the test's own thread is counted, and only while `counting` is set.
thread_local bool counting = false;
std::atomic<long> newCalls{0};
std::atomic<long> mallocCalls{0};

void countNew() {
  if (counting) ++newCalls;
}
void countMalloc() {
  if (counting) ++mallocCalls;
}

void* allocateForNew(std::size_t size, std::size_t alignment = 0) {
  countNew();
  if (size == 0) size = 1;
  void* p = alignment > alignof(std::max_align_t)
                ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
                : std::malloc(size);
  return p;
}

#if GW_SANITIZER_HOOKS
void onMalloc(const volatile void*, std::size_t) {
  countMalloc();
}
void onFree(const volatile void*) {}
[[maybe_unused]] const bool hooksInstalled =
    __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree) != 0;
#endif

}  // namespace

#if !GW_SANITIZER_HOOKS
// glibc lets a program replace malloc; these count and hand on to glibc's own.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);
void* malloc(std::size_t size) {
  countMalloc();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  countMalloc();
  return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) {
  countMalloc();
  return __libc_realloc(p, size);
}
void free(void* p) {
  __libc_free(p);
}
}
#endif

void* operator new(std::size_t size) {
  if (void* p = allocateForNew(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocateForNew(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocateForNew(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  if (void* p = allocateForNew(size, static_cast<std::size_t>(alignment))) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return operator new(size, alignment);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}

void startCountingAllocations() {
  newCalls = 0;
  mallocCalls = 0;
  counting = true;
}

AllocationCount stopCountingAllocations() {
  counting = false;
  return {newCalls.load(), mallocCalls.load()};
}
