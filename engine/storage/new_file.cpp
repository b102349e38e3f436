// Making a new file at a path: whole under a temporary name beside it, then put at the name in one step.
#include "engine/storage/new_file.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <sys/random.h>
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
constexpr int kMaxTemporaryNames = 100;

// "dir/" for "dir/name", "" for "name": what a relative link target is read against.
std::string directory_part(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The last component; "." for a path ending in a slash, which names its folder.
std::string last_component(const std::string& path) {
  const auto slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name.empty() ? std::string(".") : name;
}

// The folder a file is made in, held open so that every step names the file relative to it: a
// path the kernel takes stays one it takes, however long the temporary's name, and the folder
// stays the one the path led to.
struct Folder {
  File fd;
  bool syncable = true;
};

// Read-only where the caller may list the folder, which lets it be synced; a folder it may write
// but not list cannot be opened so and is held as a path only (O_PATH): it is then not synced, and
// the new name lasts as the file system makes names last.
Result<Folder> open_folder(int at, const std::string& name) {
  const std::string& which = name.empty() ? std::string(".") : name;
  int fd = File::open_descriptor_at(at, which, O_RDONLY | O_DIRECTORY);
  if (fd >= 0) return Folder{File::adopt(fd), true};
#ifdef O_PATH
  if (errno == EACCES) {
    fd = File::open_descriptor_at(at, which, O_PATH | O_DIRECTORY);
    if (fd >= 0) return Folder{File::adopt(fd), false};
  }
#endif
  return errno_error(errno);
}

// The link's contents in `target` (an out-parameter: GCC 12 misreads a string moved out of a Result).
Result<void> read_link_at(int folder, const std::string& name, std::string& target) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t got = ::readlinkat(folder, name.c_str(), buffer.data(), buffer.size());
    if (got < 0) return errno_error(errno);
    if (static_cast<std::size_t>(got) < buffer.size()) {
      target.assign(buffer.data(), static_cast<std::size_t>(got));
      return {};
    }
    buffer.resize(buffer.size() * 2);
  }
}

// Where a path finally leads: a folder, a name in it, and the status of what is there, if anything.
struct Resolved {
  Folder folder;
  std::string name;
  std::optional<struct stat> status;
};

// The start of a file the kernel shows under /proc, or "" where it cannot be read (no such
// setting on this system, or no /proc).
std::string proc_text(const char* path) {
  File file = File::adopt(File::open_descriptor_at(AT_FDCWD, path, O_RDONLY));
  char text[128];
  const ssize_t got = file.is_open() ? ::read(file.fd(), text, sizeof text) : -1;
  return got > 0 ? std::string(text, static_cast<std::size_t>(got)) : std::string();
}

// A number the kernel shows under /proc, or `unknown` where it cannot be read.
long kernel_setting_number(const char* path, long unknown) {
  const std::string text = proc_text(path);
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  return end == text.c_str() ? unknown : value;
}

// fs.protected_symlinks or fs.protected_regular, read at each create.
int kernel_setting(const char* name, int unknown) {
  return static_cast<int>(kernel_setting_number((std::string("/proc/sys/fs/") + name).c_str(), unknown));
}

#ifdef __linux__
constexpr int kProtectedUnknown = 1;  // most distributions set both
#else
constexpr int kProtectedUnknown = 0;
#endif

// Whether the kernel follows a link with this status in a folder with this status, under
// fs.protected_symlinks: not where the folder is sticky and world-writable, and the link's owner
// is neither the follower nor the folder's owner.
bool may_follow(const struct stat& folder, const struct stat& link) {
  if (link.st_uid == ::geteuid()) return true;
  if ((folder.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH)) return true;
  return folder.st_uid == link.st_uid;
}

// Follows symbolic links at the last component as open would, so a dangling link leads to the
// name it points at. Each step reads relative to the folder of the link it follows. A link is
// held open itself (O_PATH) while it is judged and read, so that the link judged is the link read
// whatever is put at its name meanwhile: the kernel's own verdict on the path, asked first, may
// be about another link than the one read here.
Result<void> resolve(const std::string& path, Resolved& out) {
  const bool is_protected = kernel_setting("protected_symlinks", kProtectedUnknown) != 0;
  MOLARIUM_ASSIGN_OR_RETURN(out.folder, open_folder(AT_FDCWD, directory_part(path)));
  out.name = last_component(path);
  for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
    struct stat status;
    if (::fstatat(out.folder.fd.fd(), out.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT) return errno_error(errno);
      out.status.reset();
      return {};
    }
    if (!S_ISLNK(status.st_mode)) {
      out.status = status;
      return {};
    }
    std::string target;
#ifdef O_PATH
    File link = File::adopt(File::open_descriptor_at(out.folder.fd.fd(), out.name, O_PATH | O_NOFOLLOW));
    if (!link.is_open() && errno == ENOENT) continue;  // gone meanwhile: looked at again
    struct stat folder_status;
    if (!link.is_open() || ::fstat(link.fd(), &status) != 0 || ::fstat(out.folder.fd.fd(), &folder_status) != 0) {
      return errno_error(errno);
    }
    if (!S_ISLNK(status.st_mode)) continue;  // replaced meanwhile: looked at again
    if (is_protected && !may_follow(folder_status, status)) return errno_error(EACCES);
    MOLARIUM_TRY_VOID(read_link_at(link.fd(), "", target));
#else
    (void)is_protected;
    MOLARIUM_TRY_VOID(read_link_at(out.folder.fd.fd(), out.name, target));
#endif
    const std::string folder = directory_part(target);
    if (!folder.empty()) {
      MOLARIUM_ASSIGN_OR_RETURN(out.folder, open_folder(target.starts_with('/') ? AT_FDCWD : out.folder.fd.fd(), folder));
    }
    out.name = last_component(target);
  }
  return errno_error(ELOOP);
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The id that this process's user namespace shows for every user it does not map (the overflow
// id), which cannot be told from another; nothing in the initial namespace, which maps every user.
// Read each time: a process may enter a namespace after it loaded this module.
std::optional<uid_t> unmapped_owner_id() {
  unsigned long inside = 1, outside = 1, count = 0;
  const std::string map = proc_text("/proc/self/uid_map");
  if (map.empty() || (std::sscanf(map.c_str(), "%lu %lu %lu", &inside, &outside, &count) == 3 && inside == 0 &&
                      outside == 0 && count == 4294967295ul)) {
    return std::nullopt;
  }
  return static_cast<uid_t>(kernel_setting_number("/proc/sys/kernel/overflowuid", 65534));
}

// Whether the kernel refuses an open with O_CREAT of this existing regular file in this folder,
// under fs.protected_regular at `level`: in a sticky folder, a file owned by neither the caller
// nor the folder's owner, where the folder is world-writable (or, at level 2, group-writable). An
// owner that may be unmapped equals no one, so such a file is refused there.
bool protected_from_create(const struct stat& folder, const struct stat& file, int level) {
  if (level == 0 || (folder.st_mode & S_ISVTX) == 0) return false;
  if (file.st_uid != unmapped_owner_id() && (file.st_uid == ::geteuid() || file.st_uid == folder.st_uid)) return false;
  return (folder.st_mode & S_IWOTH) != 0 || (level >= 2 && (folder.st_mode & S_IWGRP) != 0);
}

// Whether the regular file at the resolved name may be replaced: refused where the truncating
// create would be refused. The kernel judges the permission bits, by an open for writing without
// truncation that never follows a link put there since nor waits on a FIFO that took its place.
// fs.protected_regular judges only an open with O_CREAT, which would make an empty file should the
// old one go meanwhile, so its rule is applied here to the file that open found. False when the
// name no longer holds the file that was resolved.
Result<bool> may_replace(const Resolved& at) {
  File old = File::adopt(File::open_descriptor_at(at.folder.fd.fd(), at.name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (!old.is_open()) {
    if (errno == ELOOP || errno == ENOENT) return false;  // replaced by a link, or gone, meanwhile
    return errno_error(errno);
  }
  struct stat status;
  struct stat folder;
  if (::fstat(old.fd(), &status) != 0 || ::fstat(at.folder.fd.fd(), &folder) != 0) return errno_error(errno);
  MOLARIUM_TRY_VOID(old.close());
  if (!same_file(status, *at.status)) return false;
  if (protected_from_create(folder, status, kernel_setting("protected_regular", kProtectedUnknown))) {
    return errno_error(EACCES);
  }
  return true;
}

// The old file's owner and group where the process may set them: root both, another user only a
// group it belongs to. EINVAL, an owner or group that a user namespace does not map, counts as
// EPERM. What may not be set stays the caller's.
Result<void> carry_owner(int fd, const struct stat& old) {
  const auto refused = [] { return errno == EPERM || errno == EINVAL; };
  if (::fchown(fd, old.st_uid, old.st_gid) == 0) return {};
  if (!refused()) return errno_error(errno);
  if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0 && !refused()) return errno_error(errno);
  if (::fchown(fd, old.st_uid, static_cast<gid_t>(-1)) != 0 && !refused()) return errno_error(errno);
  return {};
}

std::string random_suffix() {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
    bits = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
           (static_cast<std::uint64_t>(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  }
  std::string suffix(6, 'X');
  for (char& c : suffix) {
    c = kLetters[bits % (sizeof kLetters - 1)];
    bits /= sizeof kLetters - 1;
  }
  return suffix;
}

// The file being made under its temporary name; removed unless it was put at its name.
class Temporary {
 public:
  explicit Temporary(const Resolved& at) : folder_(at.folder.fd.fd()) {}
  Temporary(const Temporary&) = delete;
  Temporary& operator=(const Temporary&) = delete;
  ~Temporary() {
    if (!name_.empty()) ::unlinkat(folder_, name_.c_str(), 0);
  }

  // Creates it exclusively with `mode` before the umask (or the folder's default ACL), and opens
  // the second descriptor while the file is the caller's with mode 0600 at least.
  Result<NewFile> create(const std::string& stem, mode_t mode) {
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < kMaxTemporaryNames; ++attempt) {
      std::string name(".");
      name.append(stem, 0, kMaxTemporaryStem).append(".").append(random_suffix());
      fd = File::open_descriptor_at(folder_, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
      if (fd >= 0) name_ = std::move(name);
      else if (errno != EEXIST) return errno_error(errno);
    }
    if (fd < 0) return errno_error(EEXIST);
    NewFile made{File::adopt(fd), ProcessFile()};
    struct stat status;
    if (::fstat(fd, &status) != 0) return errno_error(errno);
    const mode_t given = status.st_mode & 07777;
    if ((given & 0600) != 0600 && ::fchmod(fd, given | 0600) != 0) return errno_error(errno);
    made.writer = ProcessFile::open([&] { return File::open_descriptor_at(folder_, name_, O_RDWR | O_NOFOLLOW); });
    if (!made.writer.is_open()) return errno_error(errno);
    struct stat second;
    if (::fstat(made.writer.file().fd(), &second) != 0) return errno_error(errno);
    if (!same_file(status, second)) return errno_error(EAGAIN);  // the name was taken from under the call
    if ((given & 0600) != 0600 && ::fchmod(fd, given) != 0) return errno_error(errno);
    return made;
  }

  // Renames it over what is at `name`.
  Result<void> replace(const std::string& name) {
    if (::renameat(folder_, name_.c_str(), folder_, name.c_str()) != 0) return errno_error(errno);
    name_.clear();
    return {};
  }

  // Puts it at `name` only while nothing is there: false, and nothing changed, when something is.
  Result<bool> put_where_nothing_is(const std::string& name) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(folder_, name_.c_str(), folder_, name.c_str(), RENAME_NOREPLACE) == 0) {
      name_.clear();
      return true;
    }
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP) return errno_error(errno);
#endif
    // A file system without that rename: a second name, then the temporary one goes. A crash
    // between the two leaves the temporary as a second name of the whole file.
    if (::linkat(folder_, name_.c_str(), folder_, name.c_str(), 0) == 0) {
      ::unlinkat(folder_, name_.c_str(), 0);
      name_.clear();
      return true;
    }
    if (errno == EEXIST) return false;
    if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != ENOSYS) return errno_error(errno);
    // Nor links: the name is taken exclusively, then the whole file renamed over that empty one.
    File reserved = File::adopt(File::open_descriptor_at(folder_, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
    if (!reserved.is_open()) {
      if (errno == EEXIST) return false;
      return errno_error(errno);
    }
    auto renamed = replace(name);
    if (!renamed) ::unlinkat(folder_, name.c_str(), 0);
    MOLARIUM_TRY_VOID(renamed);
    return true;
  }

 private:
  int folder_;
  std::string name_;  // empty once put at its name
};

}  // namespace

Result<NewFile> make_new_file(const std::string& path, bool replace, const FillNewFile& fill) {
  if (path.empty()) return errno_error(ENOENT);
  const auto exists = [&] { return std::unexpected(Error(Error::Kind::Exists, path)); };
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    // The kernel judges first whether the path may be followed: a link that fs.protected_symlinks
    // forbids, or a folder that may not be searched, fails here (EACCES) as the create would.
    struct stat status;
    if (::stat(path.c_str(), &status) == 0) {
      if (!replace) return exists();
    } else if (errno != ENOENT) {
      return errno_error(errno);
    }
    Resolved at;
    MOLARIUM_TRY_VOID(resolve(path, at));
    if (at.status) {
      if (!replace) return exists();
      MOLARIUM_TRY_VOID(refuse_unless_regular(path, at.status->st_mode));
      MOLARIUM_ASSIGN_OR_RETURN(const bool still_there, may_replace(at));
      if (!still_there) continue;
    }

    Temporary temporary(at);
    MOLARIUM_ASSIGN_OR_RETURN(auto made, temporary.create(at.name, at.status ? 0600 : 0666));
    if (at.status) {
      MOLARIUM_TRY_VOID(carry_owner(made.file.fd(), *at.status));
      // After the owner: a change of owner may clear bits. Set-id bits are not carried over.
      if (::fchmod(made.file.fd(), at.status->st_mode & 0777) != 0) return errno_error(errno);
    }
    MOLARIUM_TRY_VOID(fill(made.file));
    MOLARIUM_TRY_VOID(made.file.full_sync());
    if (at.status) {
      MOLARIUM_TRY_VOID(temporary.replace(at.name));
    } else {
      MOLARIUM_ASSIGN_OR_RETURN(const bool put, temporary.put_where_nothing_is(at.name));
      if (!put && !replace) return exists();
      if (!put) continue;  // made meanwhile: replace it, as any file found there
    }
    // Some file systems refuse to sync a folder; the name then lasts as they make it last.
    if (at.folder.syncable && ::fsync(at.folder.fd.fd()) != 0 && errno != EINVAL && errno != EROFS) {
      return errno_error(errno);
    }
    return made;
  }
  return errno_error(EAGAIN);
}

}  // namespace molarium::storage
