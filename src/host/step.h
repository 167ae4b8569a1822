// What a step owns while it runs: its memory pool, its exit routine and its
// scratch utility file, and the non-local exit that ends it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kav {

// Thrown by xexit; the step dispatcher catches it at the step boundary, runs
// the registered exit routine and records code and reason.
struct StepExit {
  int code = 0;
  int reason = 0;
};

[[noreturn]] void xexit(int code, int reason = 0);

// Requests of this many bytes or more are refused before any allocation.
inline constexpr std::uint64_t kMaxAllocation = 1ULL << 53;

// The step's memory.  Every block is released when the pool goes, so a step
// that ends early leaks nothing.  Blocks are zero-filled.
class StepPool {
 public:
  StepPool() = default;
  StepPool(const StepPool&) = delete;
  StepPool& operator=(const StepPool&) = delete;
  ~StepPool();

  // Returns null when the request is refused (too large, or no memory); the
  // caller decides which message and exit code that means.
  void* allocate(std::uint64_t bytes);
  // Typed convenience: `count` elements, checked for overflow.
  template <class T>
  T* allocate_array(std::uint64_t count) {
    if (count != 0 && count > kMaxAllocation / sizeof(T)) return nullptr;
    return static_cast<T*>(allocate(count * sizeof(T)));
  }
  void release(void* block);
  std::uint64_t bytes_in_use() const { return in_use_; }

 private:
  struct Block {
    void* ptr;
    std::uint64_t bytes;
  };
  std::vector<Block> blocks_;
  std::uint64_t in_use_ = 0;
};

// The scratch utility file of a step: rows written at a noted position read
// back unchanged.  Positions are byte offsets.  The rows stay in memory until
// they pass kMemoryBytes and only then go to a temporary file: most steps
// keep a few matrices there, and making, truncating and removing a file
// would cost a small job more than its analysis.
class UtilityFile {
 public:
  UtilityFile() = default;
  UtilityFile(const UtilityFile&) = delete;
  UtilityFile& operator=(const UtilityFile&) = delete;
  ~UtilityFile();

  // Each returns 0 on success or a non-zero host return code.
  int xcopen(std::uint32_t flags);
  int xcpoint(std::int64_t position);
  std::int64_t xcnote() const { return position_; }
  int xcwrite(const void* data, std::size_t bytes);
  int xcread(void* data, std::size_t bytes);
  int xcclose(int mode);
  bool is_open() const { return open_; }
  const std::string& last_error() const { return error_; }

  static constexpr std::size_t kMemoryBytes = std::size_t{16} << 20;

 private:
  // Moves the rows from memory to a temporary file; 0 or a return code.
  int spill();

  bool open_ = false;
  std::vector<char> memory_;   // the rows while they fit in kMemoryBytes
  std::FILE* file_ = nullptr;  // the rows once they do not
  std::int64_t position_ = 0;
  std::int64_t size_ = 0;
  std::string error_;
};

}  // namespace kav
