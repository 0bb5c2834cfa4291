// Runs the list editor once, outside any window, for the tests that need it in a process of its
// own: `editor_driver 0` installs, `editor_driver 1` uninstalls; exit status 0 when it succeeded.
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

#include "addon_list.hpp"

int main(int argc, char** argv) {
  if (argc != 2)
    return 2;
  const int mode = std::atoi(argv[1]);
  // One getppid before the editor starts and one after it returns: a trace of this process shows
  // which of its system calls are the editor's, apart from the loader's and the exit's.
  ::syscall(SYS_getppid);
  const bool ok = write_file(mode);
  ::syscall(SYS_getppid);
  return ok ? 0 : 1;
}
