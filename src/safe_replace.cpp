// The only way the editor changes a list: a new copy beside it, renamed over it once complete.
#include "safe_replace.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <istream>
#include <ostream>

#include "fd_streambuf.hpp"
#include "unique_fd.hpp"

namespace {

// Removes the temporary copy when the replacement gives up, whatever the reason.
class temp_guard {
 public:
  temp_guard(int folder, std::string name) : folder_(folder), name_(std::move(name)) {}
  temp_guard(const temp_guard&) = delete;
  temp_guard& operator=(const temp_guard&) = delete;
  ~temp_guard() {
    if (!name_.empty())
      ::unlinkat(folder_, name_.c_str(), 0);
  }
  void keep() { name_.clear(); }

 private:
  int folder_;
  std::string name_;
};

// Gives the new copy the old file's owner, group and permission bits. Handing a file to another
// user is refused to all but root; the copy then keeps at least the group where it may.
int keep_owner_and_mode(int fd, const struct stat& old) {
  if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
    if (errno != EPERM)
      return errno;
    if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
      // not a member of the file's group: the copy keeps ours
    }
  }
  // The permission bits alone: a set-user-ID, set-group-ID or sticky bit on a list is no one's
  // wish, and a copy that kept them could run as the list's owner.
  return ::fchmod(fd, old.st_mode & 0777) == 0 ? 0 : errno;
}

failure fault(step at, const std::string& file, int error) {
  return failure::of_system(at, file, error);
}

// Writes and checks the copy open as `out`.
std::optional<failure> fill_and_check(const replacement& what, int out,
                                      const std::string& temp_shown) {
  fd_streambuf buffer(out);
  std::ostream stream(&buffer);
  std::optional<failure> filled = what.fill(stream);
  stream.flush();
  if (buffer.error() != 0 || !stream)
    return fault(step::write_temp, temp_shown, buffer.error() != 0 ? buffer.error() : EIO);
  if (filled)
    return filled;
  if (::fsync(out) != 0)
    return fault(step::sync_temp, temp_shown, errno);
  if (!what.check)
    return std::nullopt;
  if (::lseek(out, 0, SEEK_SET) != 0)
    return fault(step::read_temp, temp_shown, errno);
  fd_streambuf written(out);
  std::istream copy(&written);
  if (!what.check(copy))
    return failure::refusal(step::modify_list, what.shown, cause::check_failed);
  return std::nullopt;
}

}  // namespace

replaced_file replace_file(const replacement& what) {
  const std::string temp = what.name + ".tmp";
  const std::string temp_shown = what.shown_folder + "/" + temp;
  if (::unlinkat(what.folder, temp.c_str(), 0) != 0 && errno != ENOENT)
    return {false, fault(step::remove_stale, temp_shown, errno)};
  unique_fd out(::openat(what.folder, temp.c_str(),
                         O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                         what.old ? 0600 : 0644));  // never looser, whatever the umask
  if (!out)
    return {false, fault(step::create_temp, temp_shown, errno)};
  temp_guard guard(what.folder, temp);
  if (what.old) {
    if (const int error = keep_owner_and_mode(out.get(), *what.old); error != 0)
      return {false, fault(step::temp_mode, temp_shown, error)};
  }
  if (std::optional<failure> failed = fill_and_check(what, out.get(), temp_shown))
    return {false, std::move(failed)};
  // Closed explicitly and checked: a file system may report a failed write only here.
  if (::close(out.release()) != 0)
    return {false, fault(step::close_temp, temp_shown, errno)};
  if (::renameat(what.folder, temp.c_str(), what.folder, what.name.c_str()) != 0)
    return {false, fault(step::replace_list, what.shown, errno)};
  guard.keep();
  if (::fsync(what.folder) != 0)
    return {true, fault(step::sync_folder, what.shown_folder, errno)};
  return {true, std::nullopt};
}
