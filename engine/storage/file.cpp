// POSIX file handles: exact reads and writes, seeks, length changes, full sync, checked close.
#include "engine/storage/file.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <utility>
#include <vector>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace molarium::storage {
namespace {

Result<int> open_with(const std::string& path, int flags) {
  const int fd = File::open_descriptor(path, flags);
  if (fd < 0) return errno_error(errno);
  return fd;
}

// Offsets beyond off_t would be taken as negative by the kernel.
bool fits_off_t(std::uint64_t offset) {
  return offset <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
}

}  // namespace

Result<void> refuse_unless_regular(const std::string& path, mode_t mode) {
  const char* what = S_ISREG(mode)    ? nullptr
                     : S_ISDIR(mode)  ? "a directory"
                     : S_ISFIFO(mode) ? "a FIFO"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                     : S_ISSOCK(mode) ? "a socket"
                                      : "of an unknown type";
  if (what == nullptr) return {};
  return io_error(cat("'", path, "' is ", what, ", not a regular file"));
}

Result<File> File::open_read(const std::string& path) {
  // Checked before the open, which would wait for a FIFO's writer (or act on a device), and again
  // on the descriptor, in case another node took the name meanwhile; O_NONBLOCK keeps that open
  // from waiting.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return errno_error(errno);
  if (!S_ISDIR(st.st_mode)) MOLARIUM_TRY_VOID(refuse_unless_regular(path, st.st_mode));
  MOLARIUM_ASSIGN_OR_RETURN(auto fd, open_with(path, O_RDONLY | O_NONBLOCK | O_NOCTTY));
  File file(fd);
  if (::fstat(fd, &st) != 0) return errno_error(errno);
  if (!S_ISDIR(st.st_mode)) MOLARIUM_TRY_VOID(refuse_unless_regular(path, st.st_mode));
  // Without effect on a regular file, but not left on a descriptor that others may use.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return errno_error(errno);
  return file;
}

Result<File> File::open_read_write(const std::string& path) {
  MOLARIUM_ASSIGN_OR_RETURN(auto fd, open_with(path, O_RDWR));
  return File(fd);
}

Result<File> File::create_truncate(const std::string& path) {
  MOLARIUM_ASSIGN_OR_RETURN(auto fd, open_with(path, O_RDWR | O_CREAT | O_TRUNC));
  return File(fd);
}

int File::open_descriptor_at(int folder, const std::string& name, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::openat(folder, name.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int File::open_descriptor(const std::string& path, int flags) { return open_descriptor_at(AT_FDCWD, path, flags); }

File::File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Result<void> File::read_exact(void* buffer, std::size_t length) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (length > 0) {
    const ssize_t got = ::read(fd_, out, length);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno_error(errno);
    }
    if (got == 0) return io_error("failed to fill whole buffer");
    out += got;
    length -= static_cast<std::size_t>(got);
  }
  return {};
}

Result<void> File::read_exact_at(void* buffer, std::size_t length, std::uint64_t offset) const {
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (length > 0) {
    if (!fits_off_t(offset)) return errno_error(EINVAL);
    const ssize_t got = ::pread(fd_, out, length, static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno_error(errno);
    }
    if (got == 0) return io_error("failed to fill whole buffer");
    out += got;
    offset += static_cast<std::uint64_t>(got);
    length -= static_cast<std::size_t>(got);
  }
  return {};
}

Result<void> File::write_all(ByteView bytes) {
  const std::uint8_t* in = bytes.data();
  std::size_t length = bytes.size();
  while (length > 0) {
    const ssize_t put = ::write(fd_, in, length);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno_error(errno);
    }
    if (put == 0) return io_error("failed to write whole buffer");
    in += put;
    length -= static_cast<std::size_t>(put);
  }
  return {};
}

Result<std::uint64_t> File::seek(std::uint64_t offset) {
  if (!fits_off_t(offset)) return errno_error(EINVAL);
  const off_t at = ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
  if (at < 0) return errno_error(errno);
  return static_cast<std::uint64_t>(at);
}

Result<std::uint64_t> File::seek_end() {
  const off_t at = ::lseek(fd_, 0, SEEK_END);
  if (at < 0) return errno_error(errno);
  return static_cast<std::uint64_t>(at);
}

Result<std::uint64_t> File::length() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return errno_error(errno);
  return static_cast<std::uint64_t>(st.st_size);
}

Result<void> File::set_length(std::uint64_t length) {
  if (!fits_off_t(length)) return errno_error(EINVAL);
  int rc;
  do {
    rc = ::ftruncate(fd_, static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return errno_error(errno);
  return {};
}

Result<void> File::full_sync() {
  int rc;
#ifdef F_FULLFSYNC
  do {
    rc = ::fcntl(fd_, F_FULLFSYNC);
  } while (rc == -1 && errno == EINTR);
  if (rc != -1) return {};
  // Some file systems (network shares) refuse the full sync; fsync is then the strongest there is.
  if (errno != ENOTSUP && errno != EINVAL) return errno_error(errno);
#endif
  do {
    rc = ::fsync(fd_);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return errno_error(errno);
  return {};
}

void File::start_writeback(std::uint64_t offset, std::uint64_t length) const {
#ifdef __linux__
  if (!fits_off_t(offset) || !fits_off_t(length)) return;
  (void)::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
#else
  (void)offset;
  (void)length;
#endif
}

Result<void> File::close() {
  if (fd_ < 0) return {};
  const int fd = fd_;
  fd_ = -1;
  // The descriptor is released even when close fails, so it is never retried; EINTR means the
  // close itself went through.
  if (::close(fd) != 0 && errno != EINTR) return errno_error(errno);
  return {};
}

Result<bool> File::try_lock_exclusive() {
  int rc;
  do {
    rc = ::flock(fd_, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return true;
  if (errno == EWOULDBLOCK) return false;
  return errno_error(errno);
}

void File::unlock() {
  while (::flock(fd_, LOCK_UN) != 0 && errno == EINTR) {
  }
}

int File::release() { return std::exchange(fd_, -1); }

// Every ProcessFile of the process, for the fork handler. The lock is held across fork(), so the
// child finds the list whole; the handler in the child only closes descriptors and sets flags.
struct ProcessFile::Entry {
  File file;
  pid_t owner = 0;
  bool inherited = false;
};

namespace {

std::mutex registry_mutex;
// Forks that this process has made, counted once each fork has copied the descriptor table.
std::atomic<std::uint64_t> forks_made{0};

std::vector<ProcessFile::Entry*>& registry() {
  static auto* entries = new std::vector<ProcessFile::Entry*>();  // never destroyed: used at exit
  return *entries;
}

void close_copies_in_child() {
  for (ProcessFile::Entry* entry : registry()) {
    if (!entry->file.is_open()) continue;
    ::close(entry->file.release());
    entry->inherited = true;
  }
  registry_mutex.unlock();
}

// Installed when the module is loaded, before any thread can fork: a fork that starts while the
// handlers are being installed may run without them, and a child would keep its copies.
const bool g_fork_handlers_installed =
    ::pthread_atfork([] { registry_mutex.lock(); },
                     [] {
                       forks_made.fetch_add(1);
                       registry_mutex.unlock();
                     },
                     close_copies_in_child) == 0;

void unregister_entry(ProcessFile::Entry* entry) {
  std::lock_guard guard(registry_mutex);
  auto& entries = registry();
  const auto at = std::find(entries.begin(), entries.end(), entry);
  if (at == entries.end()) return;
  *at = entries.back();
  entries.pop_back();
}

}  // namespace

ProcessFile ProcessFile::open(const std::function<int()>& open_descriptor) {
  // The descriptor is opened without the registry's lock, since an open may wait (a lease, a
  // network file system) and a fork would wait with it. A fork between the open and the
  // registration copies the descriptor unregistered into its child: the count tells, and the
  // descriptor is given up for a new one, which that child never sees.
  constexpr int kMaxOpens = 1000;  // forks without end in other threads: give up, not spin
  for (int attempt = 0; attempt < kMaxOpens; ++attempt) {
    const std::uint64_t forks_before = forks_made.load();
    const int fd = open_descriptor();
    if (fd < 0) return ProcessFile();
    File file = File::adopt(fd);
    auto entry = std::make_unique<Entry>();
    std::lock_guard guard(registry_mutex);
    if (forks_made.load() != forks_before) continue;
    entry->file = std::move(file);
    entry->owner = ::getpid();
    registry().push_back(entry.get());
    ProcessFile made;
    made.entry_ = entry.release();
    return made;
  }
  errno = EAGAIN;
  return ProcessFile();
}

ProcessFile::ProcessFile(ProcessFile&& other) noexcept : entry_(std::exchange(other.entry_, nullptr)) {}

ProcessFile& ProcessFile::operator=(ProcessFile&& other) noexcept {
  if (this != &other) {
    reset();
    entry_ = std::exchange(other.entry_, nullptr);
  }
  return *this;
}

ProcessFile::~ProcessFile() { reset(); }

void ProcessFile::reset() {
  if (entry_ == nullptr) return;
  // Only this process holds the description, so whatever lock it carries is this object's. It is
  // released while the descriptor is still registered: a fork after that copies no lock.
  if (entry_->file.is_open()) entry_->file.unlock();
  unregister_entry(entry_);
  delete entry_;
  entry_ = nullptr;
}

bool ProcessFile::is_open() const { return entry_ != nullptr && entry_->file.is_open(); }
bool ProcessFile::inherited() const { return entry_ != nullptr && entry_->inherited; }
pid_t ProcessFile::owner() const { return entry_ == nullptr ? 0 : entry_->owner; }
File& ProcessFile::file() { return entry_->file; }

Result<FileIdentity> File::identity() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return errno_error(errno);
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

Result<std::optional<FileIdentity>> identity_at(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return std::nullopt;
    return errno_error(errno);
  }
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace molarium::storage
