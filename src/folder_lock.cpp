// Takes the lock on a list's folder, waiting a bounded time for another copy of the program.
#include "folder_lock.hpp"

#include <sys/file.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

int lock_wait_seconds() {
  const char* text = std::getenv("QUILLORA_LOCK_TIMEOUT");
  if (text != nullptr) {
    char* end = nullptr;
    const long seconds = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && seconds >= 0 && seconds <= 3600)
      return static_cast<int>(seconds);
  }
  return 30;
}

std::optional<failure> lock_folder(int fd, const std::string& shown,
                                   const std::function<void(bool)>& waiting) {
  using clock = std::chrono::steady_clock;
  const clock::time_point start = clock::now();
  const int bound = lock_wait_seconds();
  bool told = false;
  const auto done = [&](std::optional<failure> result) {
    if (told && waiting)
      waiting(false);
    return result;
  };
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
      return done(std::nullopt);
    if (errno != EWOULDBLOCK && errno != EINTR) {
      return done(failure::of_system(step::lock_folder, shown, errno));
    }
    const clock::duration waited = clock::now() - start;
    if (waited >= std::chrono::seconds(bound)) {
      return done(failure::timeout(step::lock_folder, shown, bound));
    }
    if (!told && waited >= std::chrono::seconds(1)) {
      if (waiting)
        waiting(true);
      told = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
