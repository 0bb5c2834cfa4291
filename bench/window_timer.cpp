// Times a program's windows as the X server sees them: from exec until the program's first
// window is mapped, and, with --click, from a click in that window until the program maps
// another one (the notice). Prints "mapped_us N" and "notice_us N", then ends the program.
//
//   window_timer [--click X,Y] [--title TITLE] [--settle-ms MS] [--timeout-ms MS] -- PROGRAM ARGS
//
// X,Y are relative to the first window's inner corner. With --title, only a window of that
// title counts as the notice.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace {

using clock_type = std::chrono::steady_clock;

struct options {
  bool click = false;
  int click_x = 0;
  int click_y = 0;
  std::optional<std::string> title;
  int settle_ms = 500;
  int timeout_ms = 20000;
  char** program = nullptr;
};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "window_timer: %s\n", what);
  std::exit(1);
}

std::optional<options> parse(int argc, char** argv) {
  options o;
  int i = 1;
  for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--click") == 0 && has_value) {
      if (std::sscanf(argv[++i], "%d,%d", &o.click_x, &o.click_y) != 2)
        return std::nullopt;
      o.click = true;
    } else if (std::strcmp(argv[i], "--title") == 0 && has_value) {
      o.title = argv[++i];
    } else if (std::strcmp(argv[i], "--settle-ms") == 0 && has_value) {
      o.settle_ms = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--timeout-ms") == 0 && has_value) {
      o.timeout_ms = std::atoi(argv[++i]);
    } else {
      return std::nullopt;
    }
  }
  if (i + 1 >= argc)
    return std::nullopt;
  o.program = argv + i + 1;
  return o;
}

// Windows can go away between an event and a look at them; such errors are expected here.
int ignore_x_error(Display*, XErrorEvent*) {
  return 0;
}

struct display_closer {
  void operator()(Display* d) const { XCloseDisplay(d); }
};

class timer {
 public:
  timer(Display* d, const options& o) : d_(d), o_(o), root_(DefaultRootWindow(d)) {
    pid_atom_ = XInternAtom(d_, "_NET_WM_PID", False);
    name_atom_ = XInternAtom(d_, "_NET_WM_NAME", False);
    utf8_atom_ = XInternAtom(d_, "UTF8_STRING", False);
  }

  void run() {
    // Every top-level window that is created from now on is watched for its own mapping.
    XSelectInput(d_, root_, SubstructureNotifyMask);
    XSync(d_, False);

    const auto start = clock_type::now();
    pid_ = fork();
    if (pid_ < 0)
      fail("fork failed");
    if (pid_ == 0) {
      close(ConnectionNumber(d_));
      // The program's console lines would mix with the figures; its failures still show.
      if (std::freopen("/dev/null", "w", stdout) == nullptr)
        _exit(127);
      execvp(o_.program[0], o_.program);
      std::perror(o_.program[0]);
      _exit(127);
    }

    const Window first = wait_for_window(std::nullopt);
    std::printf("mapped_us %lld\n", micros_since(start));
    if (o_.click) {
      settle();
      int x = 0, y = 0;
      Window child = 0;
      XTranslateCoordinates(d_, first, root_, o_.click_x, o_.click_y, &x, &y, &child);
      XTestFakeMotionEvent(d_, -1, x, y, CurrentTime);
      XTestFakeButtonEvent(d_, 1, True, CurrentTime);
      XSync(d_, False);
      XTestFakeButtonEvent(d_, 1, False, CurrentTime);
      XSync(d_, False);
      const auto clicked = clock_type::now();
      wait_for_window(first);
      std::printf("notice_us %lld\n", micros_since(clicked));
    }
    std::fflush(stdout);
    stop_program();
  }

 private:
  static long long micros_since(clock_type::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - t).count();
  }

  std::optional<long> window_pid(Window w) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, left = 0;
    unsigned char* data = nullptr;
    std::optional<long> pid;
    if (XGetWindowProperty(d_, w, pid_atom_, 0, 1, False, XA_CARDINAL, &type, &format, &count,
                           &left, &data) == Success &&
        data != nullptr && format == 32 && count == 1) {
      pid = *reinterpret_cast<long*>(data);
    }
    if (data != nullptr)
      XFree(data);
    return pid;
  }

  std::string window_title(Window w) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, left = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(d_, w, name_atom_, 0, 1024, False, utf8_atom_, &type, &format, &count,
                           &left, &data) == Success &&
        data != nullptr && format == 8) {
      title.assign(reinterpret_cast<char*>(data), count);
    }
    if (data != nullptr)
      XFree(data);
    return title;
  }

  // A mapped window that the program made and that we are waiting for.
  bool wanted(Window w, std::optional<Window> not_this) {
    if (not_this && w == *not_this)
      return false;
    const std::optional<long> pid = window_pid(w);
    if (!pid || *pid != pid_)
      return false;
    return !not_this || !o_.title || window_title(w) == *o_.title;
  }

  // Waits until the program maps a window (other than `not_this`), and returns it.
  Window wait_for_window(std::optional<Window> not_this) {
    const auto deadline = clock_type::now() + std::chrono::milliseconds(o_.timeout_ms);
    for (;;) {
      while (XPending(d_) > 0) {
        XEvent e;
        XNextEvent(d_, &e);
        if (e.type == CreateNotify && e.xcreatewindow.parent == root_ &&
            !e.xcreatewindow.override_redirect) {
          const Window w = e.xcreatewindow.window;
          watched_.insert(w);
          XSelectInput(d_, w, StructureNotifyMask);
          // It may have been mapped before it was watched.
          XWindowAttributes attributes;
          if (XGetWindowAttributes(d_, w, &attributes) && attributes.map_state != IsUnmapped &&
              wanted(w, not_this))
            return w;
        } else if (e.type == MapNotify && watched_.count(e.xmap.window) != 0 &&
                   wanted(e.xmap.window, not_this)) {
          return e.xmap.window;
        }
      }
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = 0;
        fail("the program ended before the window was mapped");
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
      if (left.count() <= 0) {
        stop_program();
        fail("timed out waiting for a window");
      }
      pollfd p{ConnectionNumber(d_), POLLIN, 0};
      poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 50)));
    }
  }

  // Lets the program draw and take input before the click, while events keep being read.
  void settle() {
    const auto until = clock_type::now() + std::chrono::milliseconds(o_.settle_ms);
    while (clock_type::now() < until) {
      while (XPending(d_) > 0) {
        XEvent e;
        XNextEvent(d_, &e);
      }
      usleep(10000);
    }
  }

  void stop_program() {
    if (pid_ <= 0)
      return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = 0;
  }

  Display* d_;
  const options& o_;
  Window root_;
  Atom pid_atom_, name_atom_, utf8_atom_;
  pid_t pid_ = 0;
  std::set<Window> watched_;
};

}  // namespace

int main(int argc, char** argv) {
  const std::optional<options> o = parse(argc, argv);
  if (!o) {
    std::fprintf(stderr,
                 "usage: window_timer [--click X,Y] [--title TITLE] [--settle-ms MS] "
                 "[--timeout-ms MS] -- PROGRAM ARGS...\n");
    return 2;
  }
  std::unique_ptr<Display, display_closer> d(XOpenDisplay(nullptr));
  if (!d)
    fail("cannot open the display");
  int event = 0, error = 0, major = 0, minor = 0;
  if (o->click && !XTestQueryExtension(d.get(), &event, &error, &major, &minor))
    fail("the X server has no XTEST extension");
  XSetErrorHandler(ignore_x_error);
  timer(d.get(), *o).run();
  return 0;
}
