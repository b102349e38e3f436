// Making a new file at a path: whole under a temporary name beside it, then put at the name in one step.
#pragma once

#include <functional>
#include <string>

#include "engine/error.hpp"
#include "engine/storage/file.hpp"

namespace molarium::storage {

// A file just made: the descriptor that made it, and a second read-write descriptor of its own
// open file description, opened while the file was still the caller's with mode 0600, so that it
// writes the file whatever owner and permission bits the file was given since. No forked child
// holds the second one (ProcessFile).
struct NewFile {
  File file;
  ProcessFile writer;
};

// Writes a new file's first contents through its read-write descriptor.
using FillNewFile = std::function<Result<void>(File&)>;

// Makes a file at a path, or refuses where the kernel's own truncating create (O_CREAT) would
// refuse. Symbolic links at the path's last component are followed, also a dangling one, so the
// file is made at the name they lead to and the links keep naming it; the kernel judges first
// whether the path may be followed at all (fs.protected_symlinks, search permission).
//
// The file is made under a temporary name in the same folder, a dot-file named after it
// (".<name>.XXXXXX"), filled by `fill` and fully synced, then put at its name in one step:
//  - Where nothing is at the name, only while nothing is (a rename that replaces nothing, or a
//    link), with the mode a plain create gives (0666 less the umask, or the folder's default
//    ACL). With `replace` false, anything at the resolved name, there before the call or put
//    there during it, fails with Error::Kind::Exists and is left as it is.
//  - With `replace`, over a regular file the caller may open as the truncating create would
//    ("Permission denied" otherwise, fs.protected_regular included), by a rename; the new file
//    has the old one's permission bits, and its owner and group where the process may set them.
//    A process that holds or maps the old file keeps its bytes.
//  - What is not a regular file (a FIFO, a device, a socket, a directory) is refused and left alone.
//
// So whoever opens the path finds what was there or the new file, whole. A failure leaves the
// path as it was and removes the temporary; a crash may leave the temporary. The folder is synced
// after the file is put in place, where the caller may open it (not where it may write but not
// list it).
Result<NewFile> make_new_file(const std::string& path, bool replace, const FillNewFile& fill);

}  // namespace molarium::storage
