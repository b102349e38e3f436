// Making a new file at a path without destroying what the path names until the new file is whole.
#pragma once

#include <string>

#include "engine/error.hpp"
#include "engine/storage/file.hpp"

namespace molarium::storage {

// A file being made for a path. Symbolic links at the path's last component are followed, also
// a dangling one, so the file is made at the name they lead to and the links keep naming it.
//
// Nothing is ever truncated or removed before the new file is complete:
//  - Without a file at that name, it is created there exclusively (O_EXCL): a file that another
//    process puts there meanwhile is never truncated.
//  - Replacing, over a regular file, it is created exclusively under a temporary name in the same
//    directory, with the old file's owner and group (where the process may set them) and
//    permission bits; install() then renames it over the old one in one step. Until that rename
//    the old file stays as it was, and a reader of the path gets the old file or the new one,
//    whole. A process that holds or maps the old file keeps its bytes.
//  - What is not a regular file (a FIFO, a device, a socket, a directory) is refused and left
//    alone, as is a file the caller may not write ("Permission denied", as a truncating open
//    would be refused).
//
// A crash before install() leaves the old file and at most the temporary, a dot-file named after
// the old one; after the rename, the new file in its place.
class NewFile {
 public:
  // With `replace` false, a file (or anything else) at the resolved name fails with
  // Error::Kind::Exists and is left as it is.
  static Result<NewFile> create(const std::string& path, bool replace);

  NewFile(NewFile&& other) noexcept;
  NewFile& operator=(NewFile&&) = delete;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  // Removes a temporary that was never installed.
  ~NewFile();

  // The new file, read-write, for its first contents.
  File& file() { return file_; }

  // Fully syncs the file, puts it at its name, and syncs the directory so that the name lasts.
  // Returns the file's read-write descriptor. On a failure before the rename nothing has changed
  // at the name, and the temporary is removed; a failure to sync the directory after it is
  // reported with the new file in place.
  Result<File> install() &&;

 private:
  NewFile(File file, File directory, std::string target, std::string temporary)
      : file_(std::move(file)),
        directory_(std::move(directory)),
        target_(std::move(target)),
        temporary_(std::move(temporary)) {}

  File file_;
  File directory_;  // opened before the file is made, so that syncing it cannot run out of descriptors
  std::string target_;
  std::string temporary_;  // empty when the file was created at its name
};

}  // namespace molarium::storage
