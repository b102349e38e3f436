// Making a new file at a path without destroying what the path names until the new file is whole.
#include "engine/storage/new_file.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>
#include <vector>

namespace molarium::storage {
namespace {

constexpr int kMaxLinkHops = 40;  // as the kernel's own limit (ELOOP)
// Tries when the name changes under the call (a file vanishes or appears between two steps).
constexpr int kMaxAttempts = 16;
// Room left in a file name for the temporary's prefix and suffix (NAME_MAX is 255).
constexpr std::size_t kMaxTemporaryStem = 240;

// "dir/" for "dir/name", "" for "name": what a relative link target is read against.
std::string directory_part(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string last_component(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The link's contents in `target` (an out-parameter: GCC 12 misreads a string moved out of a Result).
Result<void> read_link(const std::string& path, std::string& target) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t got = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (got < 0) return errno_error(errno);
    if (static_cast<std::size_t>(got) < buffer.size()) {
      target.assign(buffer.data(), static_cast<std::size_t>(got));
      return {};
    }
    buffer.resize(buffer.size() * 2);
  }
}

// Sets `name` to the name the path finally designates, and returns whether something is there
// (its status in `status`): symbolic links at the last component are followed as open would
// follow them, so a dangling link leads to the name it points at.
Result<bool> resolve(const std::string& path, std::string& name, struct stat& status) {
  name = path;
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    if (::lstat(name.c_str(), &status) != 0) {
      if (errno == ENOENT) return false;
      return errno_error(errno);
    }
    if (!S_ISLNK(status.st_mode)) return true;
    std::string target;
    MOLARIUM_TRY_VOID(read_link(name, target));
    name = target.starts_with('/') ? target : directory_part(name) + target;
  }
  return errno_error(ELOOP);
}

// The old file's owner and group where the process may set them: root both, another user only a
// group it belongs to. What may not be set stays the caller's.
Result<void> carry_owner(int fd, const struct stat& old) {
  if (::fchown(fd, old.st_uid, old.st_gid) == 0) return {};
  if (errno != EPERM) return errno_error(errno);
  if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) == 0 || errno == EPERM) return {};
  return errno_error(errno);
}

}  // namespace

Result<NewFile> NewFile::create(const std::string& path, bool replace) {
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    std::string target;
    struct stat status;
    MOLARIUM_ASSIGN_OR_RETURN(const bool present, resolve(path, target, status));
    if (present && !replace) return std::unexpected(Error(Error::Kind::Exists, target));
    if (present) MOLARIUM_TRY_VOID(refuse_unless_regular(path, status.st_mode));
    const std::string directory_name = directory_part(target);
    File directory(File::open_descriptor(directory_name.empty() ? "." : directory_name, O_RDONLY | O_DIRECTORY));
    if (!directory.is_open()) return errno_error(errno);

    if (!present) {
      File made(File::open_descriptor(target, O_RDWR | O_CREAT | O_EXCL));
      if (made.is_open()) return NewFile(std::move(made), std::move(directory), target, {});
      if (errno != EEXIST) return errno_error(errno);
      if (!replace) return std::unexpected(Error(Error::Kind::Exists, target));
      continue;  // made meanwhile: replace it
    }

    // Opened for writing, not truncated, to be refused where a truncating open would be; never
    // follows a link put there since, nor waits on a FIFO that took its place.
    File old(File::open_descriptor(target, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    if (!old.is_open()) {
      if (errno == ENOENT || errno == ELOOP) continue;  // gone, or replaced by a link, meanwhile
      return errno_error(errno);
    }
    struct stat old_status;
    if (::fstat(old.fd(), &old_status) != 0) return errno_error(errno);
    MOLARIUM_TRY_VOID(refuse_unless_regular(path, old_status.st_mode));
    MOLARIUM_TRY_VOID(old.close());

    std::string temporary =
        directory_part(target) + "." + last_component(target).substr(0, kMaxTemporaryStem) + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);  // O_EXCL, mode 0600
    if (fd < 0) return errno_error(errno);
    NewFile made(File(fd), std::move(directory), target, std::move(temporary));
    MOLARIUM_TRY_VOID(carry_owner(fd, old_status));
    // After the owner: a change of owner may clear bits. Set-id bits are not carried over.
    if (::fchmod(fd, old_status.st_mode & 0777) != 0) return errno_error(errno);
    return made;
  }
  return errno_error(EAGAIN);
}

NewFile::NewFile(NewFile&& other) noexcept
    : file_(std::move(other.file_)),
      directory_(std::move(other.directory_)),
      target_(std::move(other.target_)),
      temporary_(std::exchange(other.temporary_, {})) {}

NewFile::~NewFile() {
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

Result<File> NewFile::install() && {
  MOLARIUM_TRY_VOID(file_.full_sync());
  if (!temporary_.empty()) {
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) return errno_error(errno);
    temporary_.clear();
  }
  // Some file systems refuse to sync a directory; the name then lasts as they make it last.
  if (::fsync(directory_.fd()) != 0 && errno != EINVAL && errno != EROFS) return errno_error(errno);
  return std::move(file_);
}

}  // namespace molarium::storage
