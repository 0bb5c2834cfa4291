// A GTK module for the tests: once loaded it leaves a file named after the effective user id it
// was loaded as in the folder that QUILLORA_TEST_MARKERS names, so a test sees whose code ran.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

__attribute__((constructor)) void leave_marker() {
  const char* folder = std::getenv("QUILLORA_TEST_MARKERS");
  if (folder == nullptr)
    return;
  const std::string path = std::string(folder) + "/loaded-as-" + std::to_string(geteuid());
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0)
    close(fd);
}

}  // namespace

// What GTK calls in a module it loads; the marker is left before, as the module is loaded.
extern "C" void gtk_module_init(int*, char***) {}
