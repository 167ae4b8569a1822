#include "sandbox.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace kavfuzz {

namespace {

constexpr __u64 kWrite = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                         LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
                         LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                         LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
                         LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
constexpr __u64 kRead = LANDLOCK_ACCESS_FS_READ_FILE;
// Rename across folders (ABI 2) and truncation (ABI 3), when the kernel has them.
constexpr __u64 kRefer = 1ULL << 13, kTruncate = 1ULL << 14;

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "kav fuzz sandbox: %s: %s\n", what, std::strerror(errno));
  std::abort();
}

void allow(int ruleset, const std::string& path, __u64 access) {
  int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) return;  // a folder that is not there needs no rule
  landlock_path_beneath_attr attr{};
  attr.allowed_access = access;
  attr.parent_fd = fd;
  if (::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &attr, 0) != 0) {
    // A file (not a folder) takes only the file rights.
    attr.allowed_access &= LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE | kTruncate;
    if (::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &attr, 0) != 0)
      die(("landlock_add_rule " + path).c_str());
  }
  ::close(fd);
}

std::string make_sandbox() {
  std::string tmpl = (fs::temp_directory_path() / "kav_fuzz_XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) die("mkdtemp");
  fs::current_path(tmpl);

  const char* off = std::getenv("KAV_FUZZ_UNSANDBOXED");
  const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  if (abi < 1) {
    if (off && std::string(off) == "1") return tmpl;
    die("Landlock is not available (set KAV_FUZZ_UNSANDBOXED=1 to run without it)");
  }
  __u64 write = kWrite;
  if (abi >= 2) write |= kRefer;
  if (abi >= 3) write |= kTruncate;
  landlock_ruleset_attr rs{};
  rs.handled_access_fs = write | kRead;
  const int ruleset = static_cast<int>(::syscall(SYS_landlock_create_ruleset, &rs, sizeof rs, 0));
  if (ruleset < 0) die("landlock_create_ruleset");

  // Reading: everything but /dev.
  for (const auto& e : fs::directory_iterator("/"))
    if (e.path() != "/dev") allow(ruleset, e.path().string(), kRead);
  allow(ruleset, "/dev/null", kRead | LANDLOCK_ACCESS_FS_WRITE_FILE);
  allow(ruleset, "/dev/urandom", kRead);
  allow(ruleset, tmpl, write | kRead);
  // A step's scratch file is std::tmpfile(), which glibc makes in /tmp
  // whatever TMPDIR says: new files there may be made and written, but no
  // file there may be removed, replaced or cut short.
  allow(ruleset, "/tmp", LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_WRITE_FILE | kRead);
  if (const char* extra = std::getenv("KAV_FUZZ_WRITABLE")) {
    std::stringstream list(extra);
    for (std::string p; std::getline(list, p, ':');)
      if (!p.empty()) allow(ruleset, p, write | kRead);
  }
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) die("prctl");
  if (::syscall(SYS_landlock_restrict_self, ruleset, 0) != 0) die("landlock_restrict_self");
  ::close(ruleset);
  return tmpl;
}

}  // namespace

const std::string& sandbox() {
  static const std::string folder = make_sandbox();
  return folder;
}

void clear_sandbox() {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(sandbox(), ec)) fs::remove_all(e.path(), ec);
  fs::current_path(sandbox(), ec);
}

}  // namespace kavfuzz
