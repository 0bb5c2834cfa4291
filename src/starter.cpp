// The command that users and scripts run. A mode given alone (--install, --uninstall, --status,
// --list, --version) runs here, in a process that never loads GTK: loading GTK and its seventy
// libraries takes several times longer than editing a list. Any other command line goes, unchanged,
// to the window program that lies beside this one.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "command.hpp"
#include "printable.hpp"

namespace {

constexpr char window_program[] = "quillora-installer-window";

// The folder that holds this program's own file, wherever it was started from; empty, with
// errno set, when the system does not tell.
std::string own_folder() {
  char path[PATH_MAX];
  const ssize_t size = ::readlink("/proc/self/exe", path, sizeof path);
  if (size <= 0 || static_cast<std::size_t>(size) >= sizeof path) {
    if (size > 0)
      errno = ENAMETOOLONG;
    return {};
  }
  const std::string self(path, static_cast<std::size_t>(size));
  return self.substr(0, self.rfind('/'));
}

// `what` is a path of the folder the program was installed or unpacked in, named by whoever did.
int cannot_start(const std::string& what) {
  const std::string line =
      "无法启动安装窗口程序：" + printable(what) + "：" + std::strerror(errno) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  return 1;
}

}  // namespace

int main(int, char* argv[]) {
  if (const std::optional<options> chosen = read_mode_alone(argv))
    return run_command(*chosen);

  // argv[0] goes along as it is: GTK names the window's class after it, as the desktop entry
  // expects.
  // Never a program of that name from the working folder: only the one beside this file.
  const std::string folder = own_folder();
  if (folder.empty())
    return cannot_start("/proc/self/exe");
  const std::string window = folder + "/" + window_program;
  ::execv(window.c_str(), argv);
  return cannot_start(window);
}
