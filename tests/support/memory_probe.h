// The process's resident memory, now and at its peak, and whether such
// figures mean anything in this run.
#ifndef ZUB_TESTS_MEMORY_PROBE_H
#define ZUB_TESTS_MEMORY_PROBE_H

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#if defined(__has_include)
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define ZUB_TEST_HAVE_VALGRIND_H 1
#endif
#endif

namespace zub_test {

// Under a sanitizer or valgrind the allocator keeps freed blocks in
// quarantine and the resident memory says nothing about what the code
// holds; those runs have leak checkers of their own.
inline bool memory_is_instrumented() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
  return true;
#endif
#endif
#ifdef ZUB_TEST_HAVE_VALGRIND_H
  if (RUNNING_ON_VALGRIND) return true;
#endif
  // Without the header: valgrind preloads its own libraries.
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "vgpreload") != nullptr;
}

inline long resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0;
  long resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

// The peak resident memory since the start or the last reset_peak_resident,
// from the kernel's VmHWM; -1 when it cannot be read.
inline long peak_resident_bytes() {
  std::ifstream status("/proc/self/status");
  for (std::string key; status >> key;) {
    if (key == "VmHWM:") {
      long kb = -1;
      status >> kb;
      return kb < 0 ? -1 : kb * 1024;
    }
  }
  return -1;
}

// Starts a new peak at the present resident memory; false when the kernel
// does not offer it.
inline bool reset_peak_resident() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

}  // namespace zub_test

#endif  // ZUB_TESTS_MEMORY_PROBE_H
