// The floor under any safe rewrite of a list, whatever it edits: read the list once to decide
// and once to copy it, sync the copy, rename it over the list (letting the old list's pages and
// blocks go) and sync the folder. No search, no edit: what is left of the installer's time above
// this is its own.
//
//   safe_copy LIST
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

bool fail(const char* what) {
  std::perror(what);
  return false;
}

bool read_through(int fd, std::vector<char>& buffer, int to) {
  for (;;) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0)
      return fail("read");
    if (got == 0)
      return true;
    for (ssize_t done = 0; to >= 0 && done < got;) {
      const ssize_t put = ::write(to, buffer.data() + done, static_cast<std::size_t>(got - done));
      if (put < 0)
        return fail("write");
      done += put;
    }
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: safe_copy LIST\n");
    return 2;
  }
  const std::string list = argv[1];
  const std::string copy = list + ".tmp";
  const std::string folder = list.substr(0, list.rfind('/') + 1) + ".";
  std::vector<char> buffer(128 * 1024);  // the installer's own buffer size

  const int in = ::open(list.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (in < 0 || out < 0 || dir < 0)
    return fail("open"), 1;
  const bool ok = read_through(in, buffer, -1) && ::lseek(in, 0, SEEK_SET) == 0 &&
                  read_through(in, buffer, out) && (::fsync(out) == 0 || fail("fsync")) &&
                  (::close(out) == 0 || fail("close")) &&
                  (::rename(copy.c_str(), list.c_str()) == 0 || fail("rename")) &&
                  (::fsync(dir) == 0 || fail("fsync"));
  ::close(in);
  ::close(dir);
  return ok ? 0 : 1;
}
