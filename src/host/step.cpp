#include "host/step.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kav {

void xexit(int code, int reason) {
  throw StepExit{code, reason};
}

StepPool::~StepPool() {
  for (auto& b : blocks_) std::free(b.ptr);
}

void* StepPool::allocate(std::uint64_t bytes) {
  if (bytes >= kMaxAllocation) return nullptr;
  void* p = std::calloc(1, bytes == 0 ? 1 : static_cast<std::size_t>(bytes));
  if (!p) return nullptr;
  blocks_.push_back({p, bytes});
  in_use_ += bytes;
  return p;
}

void StepPool::release(void* block) {
  if (!block) return;
  for (std::size_t i = blocks_.size(); i-- > 0;) {
    if (blocks_[i].ptr == block) {
      in_use_ -= blocks_[i].bytes;
      std::free(block);
      blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

UtilityFile::~UtilityFile() {
  if (file_) std::fclose(file_);
}

int UtilityFile::xcopen(std::uint32_t /*flags*/) {
  // The flags describe the access the step wants (read, write, temporary);
  // a scratch file here always allows all of them.
  if (open_) return 0;
  open_ = true;
  memory_.clear();
  position_ = 0;
  size_ = 0;
  return 0;
}

int UtilityFile::spill() {
  file_ = std::tmpfile();
  if (!file_) {
    error_ = std::strerror(errno);
    return 4;
  }
  if (std::fwrite(memory_.data(), 1, memory_.size(), file_) != memory_.size()) {
    error_ = std::strerror(errno);
    return 4;
  }
  std::vector<char>().swap(memory_);
  return 0;
}

int UtilityFile::xcpoint(std::int64_t position) {
  if (!open_) {
    error_ = "the scratch file is not open";
    return 1;
  }
  if (position < 0 || position > size_) {
    error_ = "position " + std::to_string(position) + " is outside the scratch file";
    return 2;
  }
  position_ = position;
  return 0;
}

int UtilityFile::xcwrite(const void* data, std::size_t bytes) {
  if (!open_) {
    error_ = "the scratch file is not open";
    return 1;
  }
  const auto end = static_cast<std::size_t>(position_) + bytes;
  if (!file_ && end > kMemoryBytes)
    if (const int rc = spill(); rc != 0) return rc;
  if (file_) {
    if (std::fseek(file_, static_cast<long>(position_), SEEK_SET) != 0 ||
        std::fwrite(data, 1, bytes, file_) != bytes) {
      error_ = std::strerror(errno);
      return 4;
    }
  } else {
    if (end > memory_.size()) memory_.resize(end);
    if (bytes) std::memcpy(memory_.data() + position_, data, bytes);
  }
  position_ += static_cast<std::int64_t>(bytes);
  if (position_ > size_) size_ = position_;
  return 0;
}

int UtilityFile::xcread(void* data, std::size_t bytes) {
  if (!open_) {
    error_ = "the scratch file is not open";
    return 1;
  }
  if (position_ + static_cast<std::int64_t>(bytes) > size_) {
    error_ = "reading past the end of the scratch file";
    return 5;
  }
  if (file_) {
    std::fflush(file_);
    if (std::fseek(file_, static_cast<long>(position_), SEEK_SET) != 0 ||
        std::fread(data, 1, bytes, file_) != bytes) {
      error_ = std::strerror(errno);
      return 6;
    }
  } else if (bytes) {
    std::memcpy(data, memory_.data() + position_, bytes);
  }
  position_ += static_cast<std::int64_t>(bytes);
  return 0;
}

int UtilityFile::xcclose(int /*mode*/) {
  if (!open_) return 0;
  const int rc = file_ && std::fclose(file_) != 0 ? 7 : 0;
  file_ = nullptr;
  open_ = false;
  std::vector<char>().swap(memory_);
  position_ = size_ = 0;
  return rc;
}

}  // namespace kav
