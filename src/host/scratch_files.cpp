#include "host/scratch_files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <filesystem>
#include <random>
#include <system_error>

namespace fs = std::filesystem;

namespace kav {

namespace {

std::string random_suffix() {
  static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device rd;
  std::string s;
  for (int k = 0; k < 8; ++k) s += kDigits[rd() % (sizeof kDigits - 1)];
  return s;
}

std::string scratch_tag() {
  return std::to_string(::getpid()) + "-" + random_suffix();
}

// The process id at the start of "<pid>-<random>", or 0.
pid_t owner_of(std::string_view rest) {
  const std::size_t dash = rest.find('-');
  if (dash == std::string_view::npos || dash == 0) return 0;
  long pid = 0;
  const auto [end, ec] = std::from_chars(rest.data(), rest.data() + dash, pid);
  if (ec != std::errc() || end != rest.data() + dash || pid <= 0) return 0;
  return static_cast<pid_t>(pid);
}

// True when no process of that id runs any more.  A live process of
// another user answers EPERM, and counts as running.
bool process_gone(pid_t pid) {
  return pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Gives the new file at `fd` the permissions of the file `target`; false
// when there is none.  When the group cannot be kept, the group loses its
// access rather than a different group gaining it.
bool take_permissions_of(int fd, const std::string& target) {
  struct stat old;
  if (target.empty() || ::stat(target.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return false;
  mode_t mode = old.st_mode & 07777;
  struct stat now;
  if (::fstat(fd, &now) == 0 && now.st_gid != old.st_gid &&
      ::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0)
    mode &= ~static_cast<mode_t>(S_IRWXG);
  ::fchmod(fd, mode);
  return true;
}

}  // namespace

std::string create_temp_beside(const std::string& target, std::FILE*& file,
                               const std::string& companion) {
  file = nullptr;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = target + ".tmp-" + scratch_tag();
    // 0666 lets the umask decide, as it does for any new file.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return {};
    }
    if (!take_permissions_of(fd, target)) take_permissions_of(fd, companion);
    file = ::fdopen(fd, "wb");
    if (!file) {
      const int err = errno;
      ::close(fd);
      ::unlink(path.c_str());
      errno = err;
      return {};
    }
    return path;
  }
  errno = EEXIST;
  return {};
}

void remove_stale_temps(const std::string& target) {
  const fs::path t(target);
  const std::string prefix = t.filename().string() + ".tmp-";
  fs::path folder = t.parent_path();
  if (folder.empty()) folder = ".";
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const pid_t pid = owner_of(std::string_view(name).substr(prefix.size()));
    if (pid > 0 && process_gone(pid)) {
      std::error_code ignored;
      fs::remove(it->path(), ignored);
    }
  }
}

std::string make_work_folder(const std::string& base) {
  const std::string prefix = "kav-work-";
  std::error_code ec;
  for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    struct stat st;
    if (::lstat(it->path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
      continue;
    const pid_t pid = owner_of(std::string_view(name).substr(prefix.size()));
    if (pid > 0 && process_gone(pid)) {
      std::error_code ignored;
      fs::remove_all(it->path(), ignored);
    }
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path p = fs::path(base) / (prefix + scratch_tag());
    // Private, as the data sets in it may be: other users of a shared
    // temporary folder cannot list or read them.
    if (::mkdir(p.c_str(), 0700) == 0) return p.string();
    if (errno != EEXIST) return {};
  }
  return {};
}

}  // namespace kav
