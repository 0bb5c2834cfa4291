// The installer's window on a real X server with a real window manager, driven as a person
// would: clicks on the pictures, the keyboard, the window manager's close; what a screen reader
// hears is read from the accessibility tree. Runs under tests/with-desktop; one test runs the
// window on a Wayland compositor of its own instead.
#include <dirent.h>
#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atspi/atspi.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "addon_list.hpp"
#include "test_home.hpp"
#include "unique_fd.hpp"

// Last: Xlib names its constants with macros, one of which GoogleTest uses as a name.
#include <X11/Xlib.h>
#undef None

// The accessibility library keeps some of what it reads for the life of the process; that is not
// the program under test, whose own editor is checked for leaks in its own tests.
extern "C" const char* __asan_default_options() {
  return "detect_leaks=0";
}

namespace {

using namespace std::chrono_literals;

// Where the buttons stand in the window: their places in the background, plus the border.
constexpr int border = 1;
struct point {
  int x, y;
};
constexpr point install_at{330 + border, 185 + border};
constexpr point uninstall_at{570 + border, 290 + border};
constexpr point quit_at{585 + border, 20 + border};
// A spot inside a button however large its picture is: past GTK's padding, within the
// broken-image placeholder that stands in for a missing picture.
constexpr int inside = 10;

std::string shell(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string out;
  if (!pipe)
    return out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe.get())) > 0;)
    out.append(buf, n);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
    out.pop_back();
  return out;
}

// How long a wait for something the program shows may last: only a guard against a hang, long
// enough for a loaded machine. Every wait ends as soon as what it waits for has happened.
constexpr std::chrono::seconds patience = 60s;

// Polls `probe` until it gives a non-empty answer or the time is up.
template <typename Probe>
std::string wait_for(Probe probe, std::chrono::seconds limit = patience) {
  auto end = std::chrono::steady_clock::now() + limit;
  do {
    std::string answer = probe();
    if (!answer.empty())
      return answer;
    std::this_thread::sleep_for(100ms);
  } while (std::chrono::steady_clock::now() < end);
  return {};
}

// The first line of what xdotool finds: the mapped window that matches.
std::string find_window(const std::string& what) {
  return wait_for([&] {
    std::string ids = shell("xdotool search --onlyvisible " + what + " 2>/dev/null");
    return ids.substr(0, ids.find('\n'));
  });
}

struct geometry {
  int x = -1, y = -1, width = -1, height = -1;
};

geometry window_geometry(const std::string& id) {
  std::map<std::string, int> values;
  std::istringstream lines(shell("xdotool getwindowgeometry --shell " + id));
  for (std::string line; std::getline(lines, line);) {
    auto eq = line.find('=');
    if (eq != std::string::npos)
      values[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
  }
  return {values["X"], values["Y"], values["WIDTH"], values["HEIGHT"]};
}

// The pointer's place on the screen.
point pointer() {
  const std::string shell_lines = shell("xdotool getmouselocation --shell");
  return {std::atoi(shell_lines.c_str() + shell_lines.find("X=") + 2),
          std::atoi(shell_lines.c_str() + shell_lines.find("Y=") + 2)};
}

void click(const std::string& window, point at) {
  shell("xdotool mousemove --window " + window + " " + std::to_string(at.x + inside) + " " +
        std::to_string(at.y + inside) + " click 1");
}

// Every accessible below `node`, as "role: name" lines in tree order.
void dump_tree(AtspiAccessible* node, std::string& out, int depth = 0) {
  if (depth > 30)
    return;
  g_autofree gchar* role = atspi_accessible_get_role_name(node, nullptr);
  g_autofree gchar* name = atspi_accessible_get_name(node, nullptr);
  out += std::string(role ? role : "?") + ": " + (name ? name : "") + "\n";
  gint count = atspi_accessible_get_child_count(node, nullptr);
  for (gint i = 0; i < count; ++i) {
    AtspiAccessible* child = atspi_accessible_get_child_at_index(node, i, nullptr);
    if (child != nullptr) {
      dump_tree(child, out, depth + 1);
      g_object_unref(child);
    }
  }
}

// Where the tests run as root, the accessibility tree is read as user nobody, who runs the window
// there: a program takes connections to its tree from its own user alone. Nested reads keep it.
class as_window_user {
 public:
  // The real ids change too, since the bus's handshake names the real user; the saved ones stay
  // root's, to come back to.
  as_window_user() {
    if (depth_++ == 0 && (was_root_ = geteuid() == 0) &&
        (setresgid(nobody, nobody, 0) != 0 || setresuid(nobody, nobody, 0) != 0))
      std::abort();
  }
  ~as_window_user() {
    if (--depth_ == 0 && was_root_ && (setresuid(0, 0, 0) != 0 || setresgid(0, 0, 0) != 0))
      std::abort();
  }
  as_window_user(const as_window_user&) = delete;
  as_window_user& operator=(const as_window_user&) = delete;

 private:
  static inline int depth_ = 0;
  static inline bool was_root_ = false;
};

// Whether the accessibility library is ready, connected as the window's user.
bool atspi_ready() {
  const as_window_user reader;
  static const bool ready = atspi_init() >= 0;
  return ready;
}

// What a screen reader finds in the program with process `pid`.
std::string accessible_tree(pid_t pid) {
  const as_window_user reader;
  if (!atspi_ready())
    return {};
  std::string out;
  AtspiAccessible* desktop = atspi_get_desktop(0);
  gint count = atspi_accessible_get_child_count(desktop, nullptr);
  for (gint i = 0; i < count; ++i) {
    AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop, i, nullptr);
    if (app == nullptr)
      continue;
    if (atspi_accessible_get_process_id(app, nullptr) == static_cast<guint>(pid))
      dump_tree(app, out);
    g_object_unref(app);
  }
  g_object_unref(desktop);
  return out;
}

// The tree once it holds `needle`, or as it stands when the time is up.
std::string accessible_tree_with(pid_t pid, const std::string& needle) {
  std::string last;
  wait_for([&] {
    last = accessible_tree(pid);
    return last.find(needle) != std::string::npos ? last : std::string();
  });
  return last;
}

// A GObject reference that ends with its scope.
struct unref {
  void operator()(gpointer object) const {
    if (object != nullptr)
      g_object_unref(object);
  }
};
template <typename T>
using ref = std::unique_ptr<T, unref>;

// The first accessible below `node` with `role` and `name`, with a reference; null if none.
AtspiAccessible* find_accessible(AtspiAccessible* node, const std::string& role,
                                 const std::string& name, int depth = 0) {
  if (depth > 30)
    return nullptr;
  g_autofree gchar* its_role = atspi_accessible_get_role_name(node, nullptr);
  g_autofree gchar* its_name = atspi_accessible_get_name(node, nullptr);
  if (its_role != nullptr && its_name != nullptr && role == its_role && name == its_name)
    return static_cast<AtspiAccessible*>(g_object_ref(node));
  gint count = atspi_accessible_get_child_count(node, nullptr);
  for (gint i = 0; i < count; ++i) {
    ref<AtspiAccessible> child(atspi_accessible_get_child_at_index(node, i, nullptr));
    if (child == nullptr)
      continue;
    if (AtspiAccessible* found = find_accessible(child.get(), role, name, depth + 1))
      return found;
  }
  return nullptr;
}

// The accessible with `role` and `name` in the program with process `pid`, once it shows.
ref<AtspiAccessible> wait_for_accessible(pid_t pid, const std::string& role,
                                         const std::string& name) {
  AtspiAccessible* found = nullptr;
  wait_for([&] {
    const as_window_user reader;
    if (!atspi_ready())
      return "";
    ref<AtspiAccessible> desktop(atspi_get_desktop(0));
    gint count = atspi_accessible_get_child_count(desktop.get(), nullptr);
    for (gint i = 0; i < count && found == nullptr; ++i) {
      ref<AtspiAccessible> app(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
      if (app != nullptr && atspi_accessible_get_process_id(app.get(), nullptr) == guint(pid))
        found = find_accessible(app.get(), role, name);
    }
    return found != nullptr ? "found" : "";
  });
  return ref<AtspiAccessible>(found);
}

// Whether the accessible takes input now, as a screen reader asks it.
bool sensitive(AtspiAccessible* node) {
  const as_window_user reader;
  ref<AtspiStateSet> states(atspi_accessible_get_state_set(node));
  return atspi_state_set_contains(states.get(), ATSPI_STATE_SENSITIVE);
}

// Sends the window `id` the window manager's ping and waits for its answer; false if none came
// while `running`. GDK answers a ping as it reads it, and reads the next event from the X server
// only once it has handled the one before: the answer says that the program has handled every
// input that came before the ping.
bool answers_ping(const std::string& id, const std::function<bool()>& running) {
  std::unique_ptr<Display, int (*)(Display*)> x(XOpenDisplay(nullptr), XCloseDisplay);
  if (x == nullptr)
    return false;
  // A window that is gone gets no ping and gives no answer; Xlib would end the tests for it.
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  const Window root = DefaultRootWindow(x.get());
  // The answer goes to the root window, to the window manager and whoever listens there.
  XSelectInput(x.get(), root, SubstructureNotifyMask);
  const Atom protocols = XInternAtom(x.get(), "WM_PROTOCOLS", False);
  const Atom ping = XInternAtom(x.get(), "_NET_WM_PING", False);
  static long pings = 0;
  const long mark = (long{getpid()} << 16) + ++pings;  // no window manager's own timestamp
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = std::stoul(id);
  event.xclient.message_type = protocols;
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(ping);
  event.xclient.data.l[1] = mark;
  event.xclient.data.l[2] = static_cast<long>(event.xclient.window);
  XSendEvent(x.get(), event.xclient.window, False, NoEventMask, &event);
  XFlush(x.get());
  const auto end = std::chrono::steady_clock::now() + patience;
  while (std::chrono::steady_clock::now() < end && running()) {
    while (XPending(x.get()) > 0) {
      XEvent answer{};
      XNextEvent(x.get(), &answer);
      if (answer.type == ClientMessage && answer.xclient.message_type == protocols &&
          answer.xclient.data.l[0] == static_cast<long>(ping) && answer.xclient.data.l[1] == mark)
        return true;
    }
    pollfd connection{ConnectionNumber(x.get()), POLLIN, 0};
    poll(&connection, 1, 100);
  }
  return false;
}

// Does the accessible's first action ("click" for a button), as a screen reader would.
bool do_action(AtspiAccessible* node) {
  const as_window_user reader;
  ref<AtspiAction> action(atspi_accessible_get_action_iface(node));
  return action != nullptr && atspi_action_do_action(action.get(), 0, nullptr);
}

// How far apart two pictures of one size are: the share of pixels in which some colour
// differs by more than a little.
double pixels_apart(GdkPixbuf* a, GdkPixbuf* b) {
  const int width = gdk_pixbuf_get_width(a), height = gdk_pixbuf_get_height(a);
  if (width != gdk_pixbuf_get_width(b) || height != gdk_pixbuf_get_height(b))
    return 1;
  long apart = 0;
  for (int y = 0; y < height; ++y) {
    const guchar* pa = gdk_pixbuf_get_pixels(a) + y * gdk_pixbuf_get_rowstride(a);
    const guchar* pb = gdk_pixbuf_get_pixels(b) + y * gdk_pixbuf_get_rowstride(b);
    for (int x = 0; x < width; ++x) {
      bool differs = false;
      for (int c = 0; c < 3; ++c)
        differs |= std::abs(pa[x * gdk_pixbuf_get_n_channels(a) + c] -
                            pb[x * gdk_pixbuf_get_n_channels(b) + c]) > 24;
      apart += differs;
    }
  }
  return double(apart) / (double(width) * height);
}

// A picture file laid over a copy of `under` at (x, y), as GTK draws a button's picture.
GdkPixbuf* laid_over(GdkPixbuf* under, const char* file, int x, int y) {
  GdkPixbuf* out = gdk_pixbuf_copy(under);
  g_autoptr(GdkPixbuf) over = gdk_pixbuf_new_from_file(file, nullptr);
  if (over != nullptr)
    gdk_pixbuf_composite(over, out, x, y, gdk_pixbuf_get_width(over), gdk_pixbuf_get_height(over),
                         x, y, 1, 1, GDK_INTERP_NEAREST, 255);
  return out;
}

// A spot of the background where no button lies: its column of text.
constexpr point text_column{345, 50};
constexpr int text_column_w = 290, text_column_h = 100;

// Takes screenshots into `path` until the window at `g` shows its background `bg` at `scale`
// (the text column matches the picture) and returns true; false if it never does. The first
// frame comes a moment after the window maps, later on a busy machine; GTK draws a window whole,
// so the buttons are on the same screenshot.
bool screenshot_once_drawn(const std::string& path, const geometry& g, const char* bg,
                           int scale = 1) {
  g_autoptr(GdkPixbuf) picture = gdk_pixbuf_new_from_file(bg, nullptr);
  if (picture == nullptr)
    return false;
  const int x = scale * text_column.x, y = scale * text_column.y;
  const int w = scale * text_column_w, h = scale * text_column_h;
  g_autoptr(GdkPixbuf) want = gdk_pixbuf_new_subpixbuf(picture, x, y, w, h);
  return !wait_for([&] {
            shell("import -window root " + path);
            g_autoptr(GdkPixbuf) screen = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
            const int left = g.x + scale * border + x, top = g.y + scale * border + y;
            if (screen == nullptr || left < 0 || top < 0 ||
                left + w > gdk_pixbuf_get_width(screen) || top + h > gdk_pixbuf_get_height(screen))
              return std::string();
            g_autoptr(GdkPixbuf) shown = gdk_pixbuf_new_subpixbuf(screen, left, top, w, h);
            return pixels_apart(shown, want) <= 0.01 ? std::string("drawn") : std::string();
          }).empty();
}

class InstallerWindow : public TestHome {
 protected:
  void SetUp() override {
    TestHome::SetUp();
    folder_ = SOURCE_DIR;
    if (geteuid() != 0)
      return;
    // Root's window never starts GTK on a home that root keeps: as a person does, user nobody
    // runs it, from copies of the program and its pictures that she may read wherever the build
    // lies.
    make_dirs(at(".app/imgs"));
    const std::string built(INSTALLER);
    const std::string folder = built.substr(0, built.rfind('/'));
    for (const char* name : {"quillora-installer", "quillora-installer-window"}) {
      write_bytes(at(".app/") + name, read_bytes(folder + "/" + name));
      ASSERT_EQ(chmod((at(".app/") + name).c_str(), 0755), 0);
    }
    std::unique_ptr<DIR, int (*)(DIR*)> imgs(opendir(SOURCE_DIR "/imgs"), closedir);
    ASSERT_TRUE(imgs);
    while (const dirent* picture = readdir(imgs.get())) {
      if (picture->d_name[0] != '.')
        write_bytes(at(".app/imgs/") + picture->d_name,
                    read_bytes(std::string(SOURCE_DIR "/imgs/") + picture->d_name));
    }
    folder_ = at(".app");
    program_ = at(".app/quillora-installer");
  }

  // Hands the home and all in it to user nobody, who runs the window where the tests run as root.
  void hand_home_to_nobody() const {
    const std::string command = "chown -R nobody: '" + home_ + "'";
    if (std::system(command.c_str()) != 0)
      _exit(126);
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    TestHome::TearDown();
  }

  // Starts the installer from `folder_` with `args`, its console going to files, and waits for
  // its window on the X server.
  void start(std::vector<std::string> args = {}) {
    launch(std::move(args));
    window_ = find_window("--pid " + std::to_string(pid_));
    ASSERT_FALSE(window_.empty()) << "the window never showed; stderr:\n" << read_bytes(err_path_);
  }

  // Starts the installer as start() does, with `environment_` added, and does not wait.
  void launch(std::vector<std::string> args = {}) {
    out_path_ = at("console.out");
    err_path_ = at("console.err");
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      if (chdir(folder_.c_str()) != 0 || !freopen(out_path_.c_str(), "w", stdout) ||
          !freopen(err_path_.c_str(), "w", stderr))
        _exit(127);
      // GTK's own leaks are not the program's; the editor's are checked in its own tests.
      setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
      if (!display_from_environment_)
        unsetenv("DISPLAY");
      for (auto& [name, value] : environment_)
        setenv(name.c_str(), value.c_str(), 1);
      if (!as_root_ && geteuid() == 0) {
        hand_home_to_nobody();
        become_nobody();
      }
      std::vector<char*> argv{program_.data()};
      for (auto& arg : args)
        argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(program_.c_str(), argv.data());
      _exit(127);
    }
  }

  // The notice, once it shows.
  std::string notice() { return find_window("--name '^安装提示$'"); }

  void press_ok(const std::string& notice_window) {
    shell("xdotool windowactivate --sync " + notice_window + " key --clearmodifiers Return");
  }

  void close_through_window_manager(const std::string& id) { shell("wmctrl -i -c " + id); }

  // The exit status once the program has ended, or -1 if it is still running after a while.
  int exit_status() {
    auto end = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(50ms);
    }
    return -1;
  }

  std::string console_out() const { return read_bytes(out_path_); }
  std::string console_err() const { return read_bytes(err_path_); }

  // Whether the program is still running; an ended one is left for exit_status().
  bool still_running() {
    siginfo_t info{};
    return waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
  }

  std::string folder_;
  std::string program_ = INSTALLER;
  bool as_root_ = false;  // the window started by root itself, where the tests run as root
  bool display_from_environment_ = true;
  std::map<std::string, std::string> environment_;
  pid_t pid_ = -1;
  std::string window_;
  std::string out_path_, err_path_;
};

constexpr std::string_view plain_list = "<?xml version=\"1.0\"?>\n<jsplugins>\n</jsplugins>\n";

// Also with the desktop's large text: the words over the background wrap within it.
TEST_F(InstallerWindow, OpensUndecoratedAndCentredAtTheSizeOfItsBackground) {
  int width = 0, height = 0;
  ASSERT_NE(gdk_pixbuf_get_file_info(SOURCE_DIR "/imgs/bg.jpg", &width, &height), nullptr);
  geometry g;
  for (const char* text_scale : {"1.5", "1"}) {
    SCOPED_TRACE(text_scale);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    environment_["GDK_DPI_SCALE"] = text_scale;
    start();
    g = window_geometry(window_);
    EXPECT_EQ(g.width, width + 2 * border);
    EXPECT_EQ(g.height, height + 2 * border);
    EXPECT_EQ(shell("xprop -id " + window_ + " _NET_FRAME_EXTENTS"),
              "_NET_FRAME_EXTENTS(CARDINAL) = 0, 0, 0, 0");
    std::string display = shell("xdotool getdisplaygeometry");
    int screen_w = std::atoi(display.c_str());
    int screen_h = std::atoi(display.c_str() + display.find(' ') + 1);
    EXPECT_NEAR(g.x, (screen_w - g.width) / 2, 1);
    EXPECT_NEAR(g.y, (screen_h - g.height) / 2, 1);
  }

  // A person looks at this one before the window is called done.
  shell("mkdir -p " BUILD_DIR "/screenshots");
  EXPECT_TRUE(
      screenshot_once_drawn(BUILD_DIR "/screenshots/window.png", g, SOURCE_DIR "/imgs/bg.jpg"));
}

TEST_F(InstallerWindow, ScreenReadersNameEachPictureButton) {
  start();
  std::string tree = accessible_tree_with(pid_, "push button: 卸载");
  EXPECT_NE(tree.find("push button: 安装\n"), std::string::npos) << tree;
  EXPECT_NE(tree.find("push button: 卸载\n"), std::string::npos) << tree;
  EXPECT_NE(tree.find("push button: 退出\n"), std::string::npos) << tree;
  // All the window's own text is in its pictures; it has no title, yet task switchers and screen
  // readers name it, and its class is still the program's, as the desktop entry expects.
  EXPECT_NE(tree.find("frame: Quillora插件安装\n"), std::string::npos) << tree;
  EXPECT_EQ(shell("xprop -id " + window_ + " _NET_WM_NAME"),
            "_NET_WM_NAME(UTF8_STRING) = \"Quillora插件安装\"");
  EXPECT_EQ(shell("xprop -id " + window_ + " WM_CLASS"),
            "WM_CLASS(STRING) = \"quillora-installer\", \"Quillora-installer\"");
}

// Under the pointer each picture button changes so that a person sees it, in every theme GTK
// brings: its picture's mean brightness moves by a twentieth or more, once GTK has drawn it.
TEST_F(InstallerWindow, HoverShowsOnEveryButtonInEveryTheme) {
  const struct {
    const char* name;
    point at;  // the picture's corner in the window
    int w, h;
  } pictures[] = {
      {"安装", {335, 189}, 220, 68}, {"卸载", {575, 294}, 51, 30}, {"退出", {590, 24}, 36, 36}};
  const auto mean = [](const std::string& shot, int x, int y, int w, int h) {
    g_autoptr(GdkPixbuf) screen = gdk_pixbuf_new_from_file(shot.c_str(), nullptr);
    double sum = 0;
    const int n = gdk_pixbuf_get_n_channels(screen);
    const int stride = gdk_pixbuf_get_rowstride(screen);
    const guchar* pixels = gdk_pixbuf_get_pixels(screen);
    for (int j = y; j < y + h; ++j) {
      for (int i = x; i < x + w; ++i) {
        const guchar* p = pixels + j * stride + i * n;
        sum += (0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]) / 255;
      }
    }
    return sum / (w * h);
  };
  for (const char* theme : {"Adwaita", "Adwaita:dark", "HighContrast", "HighContrastInverse"}) {
    SCOPED_TRACE(theme);
    environment_["GTK_THEME"] = theme;
    shell("xdotool mousemove 0 0");  // the window maps with no button under the pointer
    start();
    const geometry g = window_geometry(window_);
    ASSERT_TRUE(screenshot_once_drawn(at("plain.png"), g, SOURCE_DIR "/imgs/bg.jpg"));
    const int wx = g.x + border, wy = g.y + border;
    for (const auto& p : pictures) {
      SCOPED_TRACE(p.name);
      const int x = wx + p.at.x, y = wy + p.at.y;
      const double plain = mean(at("plain.png"), x, y, p.w, p.h);
      shell("xdotool mousemove " + std::to_string(x + p.w / 2) + " " + std::to_string(y + p.h / 2));
      double lit = plain;
      wait_for([&] {
        shell("import -window root " + at("lit.png"));
        lit = mean(at("lit.png"), x, y, p.w, p.h);
        return std::abs(lit - plain) >= 0.05 * plain ? std::string("lit") : std::string();
      });
      // One that never lights is enough: the others would each wait as long.
      ASSERT_GE(std::abs(lit - plain), 0.05 * plain) << plain << " under the pointer " << lit;
    }
    close_through_window_manager(window_);
    EXPECT_EQ(exit_status(), 0);
  }
}

TEST_F(InstallerWindow, InstallClickWritesTheListThenTheNoticeEndsTheRun) {
  put_list(plain_list);
  start();
  click(window_, install_at);
  std::string dialog = notice();
  ASSERT_FALSE(dialog.empty()) << console_err();

  // The editor has finished before the notice shows.
  EXPECT_EQ(console_out(), head_lines() + "已添加Quillora插件节点\n");
  EXPECT_EQ(read_bytes(list()),
            "<?xml version=\"1.0\"?>\n<jsplugins>\n" + std::string(entry) + "\n</jsplugins>\n");
  std::string tree = accessible_tree_with(pid_, "安装成功!");
  EXPECT_NE(tree.find("label: 安装成功!\n"), std::string::npos) << tree;
  EXPECT_NE(tree.find("label: Quillora插件已添加到办公套件。请重新启动办公套件，之后即可使用。\n"),
            std::string::npos)
      << tree;
  // The notice belongs to the window: desktops that place windows themselves (Wayland) put it
  // over the window, not somewhere on the screen.
  EXPECT_EQ(
      std::strtoul(shell("xprop -id " + dialog + " WM_TRANSIENT_FOR | sed 's/.*# //'").c_str(),
                   nullptr, 16),
      std::stoul(window_));

  press_ok(dialog);
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(InstallerWindow, UninstallClickRemovesTheEntryAndClosingTheNoticeEndsTheRun) {
  put_list("<?xml version=\"1.0\"?>\n<jsplugins>\n" + std::string(entry) + "\n</jsplugins>\n");
  start();
  click(window_, uninstall_at);
  std::string dialog = notice();
  ASSERT_FALSE(dialog.empty()) << console_err();

  EXPECT_EQ(console_out(), head_lines() + "包含Quillora插件节点，需删除\n");
  EXPECT_EQ(read_bytes(list()), plain_list);
  std::string tree = accessible_tree_with(pid_, "卸载成功!");
  EXPECT_NE(tree.find("label: 卸载成功!\n"), std::string::npos) << tree;
  EXPECT_NE(tree.find("label: Quillora插件已从办公套件中移除。请重新启动办公套件使更改生效。\n"),
            std::string::npos)
      << tree;

  close_through_window_manager(dialog);
  EXPECT_EQ(exit_status(), 0);
}

// A person who started the window from a menu never sees the console: the notice says what
// happened and what comes next, and after a failure which list, why, and what to do.
TEST_F(InstallerWindow, TheNoticeSaysWhatHappenedAndWhatComesNext) {
  const std::string own = "插件列表~/" + std::string(list_path);
  const std::string flatpak = ".var/app/cn.wps.Office/data/Kingsoft/wps/jsaddons";
  const std::string keep = "请不要删除这个文件，其中还登记着其他插件。";
  const struct {
    const char* what;
    std::function<void()> arrange;
    std::string primary;
    std::string why;      // the notice's second text
    std::string console;  // what stderr holds
    point button = install_at;
  } cases[] = {
      {"the add-on was there already",
       [this] { put_list("<jsplugins>\n" + std::string(entry) + "\n</jsplugins>\n"); }, "安装成功!",
       "Quillora插件此前已经安装，这次没有做任何修改。", ""},
      {"the suite never started: no list folder", [] {}, "安装失败!",
       "没有找到办公套件的插件文件夹：办公套件还没有启动过。请先启动一次办公套件，关闭它，然后再安"
       "装。",
       "无法创建XML文件：" + std::string(list_path)},
      {"a malformed list before any add-on", [this] { put_list("<jsplugins>\n<x\n"); }, "安装失败!",
       own + "的第2行有XML格式错误，安装程序没有修改它。请用文本编辑器修正这一行后再试。",
       "有XML格式错误"},
      {"a malformed list after another add-on, its tag left open on the line before the fault",
       [this] {
         put_list("<jsplugins>\n<jsplugin name=\"Other\" url=\"https://o/\"/>\n<x\n</jsplugins>\n");
       },
       "安装失败!",
       own +
           "的第3行开始的标记有XML格式错误，在第4行发现，安装程序没有修改它。请用文本编辑器修正第"
           "3行到第4行后再试。" +
           keep,
       "：第3行开始的标记有XML格式错误，在第4行发现：not well-formed (invalid token)"},
      {"a page that is no add-on list",
       [this] { put_list("<html>\n<jsplugin name=\"Other\" url=\"https://o/\"/>\n</html>\n"); },
       "安装失败!",
       own +
           "不是办公套件的插件列表：其中的内容是另一种文件，安装程序没有修改它。请检查这个文件是从"
           "哪里来的。",
       "的根元素不是<jsplugins>"},
      {"uninstall over an entry that is not enabled",
       [this] {
         put_list(
             "<jsplugins>\n<jspluginonline enable=\"false\" name=\"Quillora插件\" "
             "url=\"https://x/\"/>\n</jsplugins>\n");
       },
       "卸载成功!",
       "插件列表中有未启用的Quillora插件条目，安装程序按原样保留了它，这次没有做任何修改。", "",
       uninstall_at},
      {"uninstall where it is not installed", [this] { put_list(plain_list); }, "卸载成功!",
       "Quillora插件现在没有安装，这次没有做任何修改。", "", uninstall_at},
      {"a list that links to itself",
       [this] {
         make_list_folder();
         ASSERT_EQ(symlink("publish.xml", list().c_str()), 0);
       },
       "安装失败!",
       own + "是一个绕回自身的链接，或者要经过太多层链接才能找到文件。它保持原样。请修正这个链接后"
             "再试。",
       "：Too many levels of symbolic links"},
      {"a file where the suite's folder should be",
       [this] {
         make_dirs(at(".local/share/Kingsoft/wps"));
         write_bytes(at(".local/share/Kingsoft/wps/jsaddons"), "");
       },
       "安装失败!",
       "~/.local/share/Kingsoft/wps/"
       "jsaddons的路径上有一个文件占着文件夹的位置，办公套件和安装程序都无法在那里创建插件列表。请"
       "检"
       "查并移开这个文件，启动一次办公套件后再试。",
       "：Not a directory"},
      {"a list in another encoding",
       [this] {
         put_list("<?xml version=\"1.0\" encoding=\"GBK\"?>\n<jsplugins>\n</jsplugins>\n");
       },
       "安装失败!",
       own + "声明的编码是GBK，不是UTF-8，安装程序没有修改它。请用文本编辑器把它另存为UTF-8编码后再"
             "试。",
       "XML声明的编码是GBK，不是UTF-8。请用文本编辑器另存为UTF-8后再试。"},
      {"the home's list changed, a Flatpak copy's is malformed",
       [&] {
         make_list_folder();
         make_dirs(at(flatpak));
         write_bytes(at(flatpak + "/publish.xml"), "<jsplugins><x");
       },
       "安装失败!",
       "已在" + own + "中添加Quillora插件，请重新启动办公套件。沙盒应用cn.wps.Office的插件列表~/" +
           flatpak +
           "/publish.xml的第1行有XML格式错误，安装程序没有修改它。请用文本编辑器修正这一行后再试。",
       "有XML格式错误"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    remove_tree(at(".local"));
    remove_tree(at(".var"));
    c.arrange();
    const std::string before = exists(list()) ? read_bytes(list()) : "";
    start();
    click(window_, c.button);
    std::string dialog = notice();
    ASSERT_FALSE(dialog.empty());

    std::string tree = accessible_tree_with(pid_, c.why);
    EXPECT_NE(tree.find("push button: 确定\n"), std::string::npos) << tree;
    EXPECT_NE(tree.find("label: " + c.primary + "\n"), std::string::npos) << tree;
    EXPECT_NE(tree.find("label: " + c.why + "\n"), std::string::npos) << tree;
    EXPECT_NE(console_err().find(c.console), std::string::npos) << console_err();
    if (c.primary == "安装失败!" && c.why.rfind("已在", 0) != 0) {
      EXPECT_EQ(exists(list()) ? read_bytes(list()) : "", before);
    }

    press_ok(dialog);
    EXPECT_EQ(exit_status(), 0);
  }
}

TEST_F(InstallerWindow, ExitButtonEndsTheRunAndLeavesTheListAlone) {
  put_list(plain_list);
  start();
  click(window_, quit_at);
  EXPECT_EQ(exit_status(), 0);
  EXPECT_EQ(read_bytes(list()), plain_list);
  EXPECT_EQ(console_out(), "");
}

TEST_F(InstallerWindow, ClosingThroughTheWindowManagerEndsTheRun) {
  put_list(plain_list);
  start();
  close_through_window_manager(window_);
  EXPECT_EQ(exit_status(), 0);
  EXPECT_EQ(read_bytes(list()), plain_list);
}

// The press asks the window manager to move the window, which it does from its next motion of the
// pointer on: each step of the drag is made again until the window has followed it, however late
// the window and the window manager come to the press.
TEST_F(InstallerWindow, DraggingTheBackgroundMovesTheWindow) {
  start();
  geometry before = window_geometry(window_);
  shell("xdotool mousemove --window " + window_ + " 60 60 mousedown 1");
  const point pressed = pointer();
  for (const point step : {point{-50, -40}, point{-100, -80}}) {
    const std::string to =
        std::to_string(pressed.x + step.x) + " " + std::to_string(pressed.y + step.y);
    const std::string beside =
        std::to_string(pressed.x + step.x + 1) + " " + std::to_string(pressed.y + step.y);
    wait_for([&] {
      shell("xdotool mousemove " + beside + " mousemove " + to);
      const geometry now = window_geometry(window_);
      return now.x == before.x + step.x && now.y == before.y + step.y ? std::string("moved")
                                                                      : std::string();
    });
  }
  shell("xdotool mouseup 1");
  geometry after = window_geometry(window_);
  EXPECT_EQ(after.x, before.x - 100);
  EXPECT_EQ(after.y, before.y - 80);
}

TEST_F(InstallerWindow, WithoutItsPicturesTheWindowStillWorks) {
  folder_ = home_;  // a folder with no imgs in it
  put_list(plain_list);
  start();
  EXPECT_EQ(console_err(), "无法加载安装窗口的图片，窗口将显示占位图标：" + home_ +
                               "/imgs/：bg.jpg、install.png、exit.png、uninstall.png\n");
  click(window_, install_at);
  std::string dialog = notice();
  ASSERT_FALSE(dialog.empty()) << console_err();
  EXPECT_EQ(read_bytes(list()),
            "<?xml version=\"1.0\"?>\n<jsplugins>\n" + std::string(entry) + "\n</jsplugins>\n");
  press_ok(dialog);
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(InstallerWindow, TakesGtksOwnOptions) {
  display_from_environment_ = false;
  start({"--display", std::getenv("DISPLAY"), "--class", "QuilloraTest"});
  EXPECT_NE(shell("xprop -id " + window_ + " WM_CLASS").find("\"QuilloraTest\""),
            std::string::npos);
}

TEST_F(InstallerWindow, DoubleClickOnInstallLeavesTheNoticeOpen) {
  // The notice opens centred over the window: this spot of 安装 lies under its OK button.
  constexpr point under_ok{400, 240};
  // A double-click time long enough that a loaded machine still clicks within it.
  constexpr auto double_click = 5000ms;
  make_dirs(at(".config/gtk-3.0"));
  write_bytes(at(".config/gtk-3.0/settings.ini"),
              "[Settings]\ngtk-double-click-time=" + std::to_string(double_click.count()) + "\n");
  environment_["XDG_CONFIG_HOME"] = at(".config");
  put_list(plain_list);
  start();
  const std::string spot = std::to_string(under_ok.x) + " " + std::to_string(under_ok.y);
  const auto first_click = std::chrono::steady_clock::now();
  shell("xdotool mousemove --window " + window_ + " " + spot + " click 1");
  // Where the notice shows within a double-click's 150 ms, the second click lands on it at once;
  // it may take longer here, so the second click comes as soon as it shows.
  std::string dialog = wait_for(
      [&] { return shell("xdotool search --onlyvisible --name '^安装提示$' 2>/dev/null"); });
  ASSERT_FALSE(dialog.empty()) << console_err();
  const auto shown = std::chrono::steady_clock::now();
  dialog = dialog.substr(0, dialog.find('\n'));
  geometry g = window_geometry(dialog);
  geometry w = window_geometry(window_);
  const int x = w.x + under_ok.x, y = w.y + under_ok.y;
  ASSERT_TRUE(x >= g.x && x < g.x + g.width && y >= g.y && y < g.y + g.height)
      << "the notice no longer covers the clicked spot; move the spot";
  shell("xdotool click 1");

  // Once the program has handled the second click, the notice still stands. The notice showed
  // after the first click: when the program is known to have handled the second within the
  // double-click time of the first, it came within the time of the notice too.
  const bool handled = answers_ping(dialog, [&] { return still_running(); });
  if (std::chrono::steady_clock::now() - first_click < double_click) {
    EXPECT_TRUE(handled && still_running()) << "the second click dismissed the notice";
  } else {
    std::printf("the second click was not handled within the double-click time: not judged\n");
  }
  EXPECT_EQ(read_bytes(list()),
            "<?xml version=\"1.0\"?>\n<jsplugins>\n" + std::string(entry) + "\n</jsplugins>\n");

  // A click once the notice has been read ends the run.
  if (still_running()) {
    std::this_thread::sleep_until(shown + double_click);
    shell("xdotool click 1");
  }
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(InstallerWindow, KeyboardAtStart) {
  const struct {
    const char* key;
    bool installs;
  } keys[] = {
      {"Return", true},   // 安装 has the first focus
      {"Escape", false},  // like 退出
  };
  for (const auto& press : keys) {
    SCOPED_TRACE(press.key);
    put_list(plain_list);
    start();
    shell("xdotool windowactivate --sync " + window_ + " key --clearmodifiers " + press.key);
    if (press.installs) {
      std::string dialog = notice();
      ASSERT_FALSE(dialog.empty()) << console_err();
      EXPECT_EQ(read_bytes(list()),
                "<?xml version=\"1.0\"?>\n<jsplugins>\n" + std::string(entry) + "\n</jsplugins>\n");
      press_ok(dialog);
    } else {
      EXPECT_EQ(read_bytes(list()), plain_list);
    }
    EXPECT_EQ(exit_status(), 0);
  }
}

TEST_F(InstallerWindow, AtScaleTwoShowsThePicturesDrawnAtTwiceTheSize) {
  environment_["GDK_SCALE"] = "2";
  shell("xdotool mousemove 0 0");  // the window maps with no button under the pointer
  start();
  int width = 0, height = 0;
  ASSERT_NE(gdk_pixbuf_get_file_info(SOURCE_DIR "/imgs/bg.jpg", &width, &height), nullptr);
  geometry g = window_geometry(window_);
  ASSERT_EQ(g.width, 2 * (width + 2 * border));
  ASSERT_EQ(g.height, 2 * (height + 2 * border));

  // Where the sharp background never shows, the spots below say how far off it is.
  const std::string shot = at("scale2.png");
  screenshot_once_drawn(shot, g, SOURCE_DIR "/imgs/bg@2x.jpg", 2);
  g_autoptr(GdkPixbuf) screen = gdk_pixbuf_new_from_file(shot.c_str(), nullptr);
  ASSERT_NE(screen, nullptr);
  g_autoptr(GdkPixbuf) content =
      gdk_pixbuf_new_subpixbuf(screen, g.x + 2 * border, g.y + 2 * border, 2 * width, 2 * height);
  g_autoptr(GdkPixbuf) sharp_bg = gdk_pixbuf_new_from_file(SOURCE_DIR "/imgs/bg@2x.jpg", nullptr);
  ASSERT_NE(sharp_bg, nullptr);
  g_autoptr(GdkPixbuf) plain_bg = gdk_pixbuf_new_from_file(SOURCE_DIR "/imgs/bg.jpg", nullptr);
  g_autoptr(GdkPixbuf) blurry_bg =
      gdk_pixbuf_scale_simple(plain_bg, 2 * width, 2 * height, GDK_INTERP_BILINEAR);

  // Each picture's own spot, at twice its place: the background's text column, and each button's
  // picture over it.
  const struct {
    const char* sharp;
    const char* plain;
    point at;
    int w, h;
  } spots[] = {
      {nullptr, nullptr, {345, 50}, 290, 100},
      {SOURCE_DIR "/imgs/install@2x.png", SOURCE_DIR "/imgs/install.png", {335, 189}, 220, 68},
      {SOURCE_DIR "/imgs/uninstall@2x.png", SOURCE_DIR "/imgs/uninstall.png", {575, 294}, 51, 30},
      {SOURCE_DIR "/imgs/exit@2x.png", SOURCE_DIR "/imgs/exit.png", {590, 24}, 36, 36},
  };
  for (const auto& spot : spots) {
    SCOPED_TRACE(spot.sharp ? spot.sharp : "bg@2x.jpg");
    const int x = 2 * spot.at.x, y = 2 * spot.at.y, w = 2 * spot.w, h = 2 * spot.h;
    g_autoptr(GdkPixbuf) sharp =
        spot.sharp ? laid_over(sharp_bg, spot.sharp, x, y) : gdk_pixbuf_copy(sharp_bg);
    g_autoptr(GdkPixbuf) blurry = gdk_pixbuf_copy(blurry_bg);
    if (spot.plain != nullptr) {
      g_autoptr(GdkPixbuf) plain = gdk_pixbuf_new_from_file(spot.plain, nullptr);
      g_autoptr(GdkPixbuf) twice = gdk_pixbuf_scale_simple(plain, w, h, GDK_INTERP_BILINEAR);
      gdk_pixbuf_composite(twice, blurry, x, y, w, h, x, y, 1, 1, GDK_INTERP_NEAREST, 255);
    }
    g_autoptr(GdkPixbuf) shown = gdk_pixbuf_new_subpixbuf(content, x, y, w, h);
    g_autoptr(GdkPixbuf) want = gdk_pixbuf_new_subpixbuf(sharp, x, y, w, h);
    g_autoptr(GdkPixbuf) upscaled = gdk_pixbuf_new_subpixbuf(blurry, x, y, w, h);
    const double apart = pixels_apart(shown, want);
    EXPECT_LE(apart, 0.01) << "see " << shot;
    // The check tells the two apart: the plain picture stretched is much further off.
    EXPECT_GT(pixels_apart(shown, upscaled), 4 * apart + 0.01);
  }
}

// While another copy holds the lock, the buttons turn insensitive and the window keeps answering
// and says why; the edit goes on once the lock is free, and fails once the wait is past its bound.
TEST_F(InstallerWindow, WhileAnotherCopyHoldsTheLockTheWindowStaysAlive) {
  const std::string waiting = "另一个安装程序正在修改XML文件，请稍候\n";
  const std::string words = "另一个安装程序正在修改插件列表，请稍候……";
  const std::string with_entry =
      "<?xml version=\"1.0\"?>\n<jsplugins>\n" + std::string(entry) + "\n</jsplugins>\n";
  const struct {
    const char* what;
    const char* bound;  // QUILLORA_LOCK_TIMEOUT, seconds
    bool let_go;        // the other copy lets go once the window shows that it waits
    const char* primary;
    std::string list;
    const char* leave = nullptr;  // how she leaves while it waits, nothing changed yet
  } cases[] = {
      {"the other copy lets go", "600", true, "安装成功!", with_entry},
      {"the other copy holds on past the bound", "3", false, "安装失败!", std::string(plain_list)},
      {"she presses Escape", "600", true, nullptr, std::string(plain_list), "escape"},
      {"she clicks ×", "600", true, nullptr, std::string(plain_list), "quit"},
      {"the window manager closes it", "600", true, nullptr, std::string(plain_list), "close"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    put_list(plain_list);
    environment_["QUILLORA_LOCK_TIMEOUT"] = c.bound;
    unique_fd folder(
        open(at(".local/share/Kingsoft/wps/jsaddons").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_EQ(flock(folder.get(), LOCK_EX), 0);
    start();
    ref<AtspiAccessible> install = wait_for_accessible(pid_, "push button", "安装");
    ASSERT_NE(install, nullptr);
    const auto clicked = std::chrono::steady_clock::now();
    click(window_, install_at);

    if (c.let_go) {
      // Busy, and still answering: the main loop is free while the editor waits, and says why.
      ASSERT_FALSE(wait_for([&] {
                     return console_err().find(waiting) != std::string::npos ? "y" : "";
                   }).empty())
          << console_err();
      EXPECT_FALSE(sensitive(install.get()));
      const std::string busy = accessible_tree_with(pid_, words);
      EXPECT_NE(busy.find("label: " + words + "\n"), std::string::npos) << busy;
      if (c.leave != nullptr) {
        const std::string how = c.leave;
        if (how == "escape")
          shell("xdotool windowactivate --sync " + window_ + " key --clearmodifiers Escape");
        else if (how == "quit")
          click(window_, quit_at);
        else
          close_through_window_manager(window_);
        EXPECT_EQ(exit_status(), 0);
        EXPECT_EQ(console_err(),
                  waiting + "已放弃：另一个安装程序仍在修改XML文件，这次没有做任何修改\n");
        EXPECT_EQ(read_bytes(list()), c.list);
        folder.reset();
        continue;
      }
      folder.reset();
    }

    std::string dialog = notice();
    ASSERT_FALSE(dialog.empty()) << console_err();
    std::string tree = accessible_tree_with(pid_, c.primary);
    EXPECT_NE(tree.find(std::string("label: ") + c.primary + "\n"), std::string::npos) << tree;
    EXPECT_NE(tree.find(c.let_go ? "alert: 提示\n" : "alert: 错误\n"), std::string::npos) << tree;
    const std::string err = console_err();
    EXPECT_NE(err.find(waiting), std::string::npos) << err;
    EXPECT_EQ(err.find(waiting), err.rfind(waiting)) << err;
    const std::size_t gave_up = err.find("\n无法锁定XML文件所在目录：");
    if (c.let_go) {
      EXPECT_EQ(gave_up, std::string::npos) << err;
    } else {
      // The program's wait began after the click: the failure can't come sooner.
      EXPECT_GE(std::chrono::steady_clock::now() - clicked, 3s);
      EXPECT_NE(gave_up, std::string::npos) << err;
      EXPECT_NE(err.find("：等待超过3秒，另一个安装程序仍在修改XML文件\n", gave_up),
                std::string::npos)
          << err;
    }
    EXPECT_EQ(read_bytes(list()), c.list);

    press_ok(dialog);
    EXPECT_EQ(exit_status(), 0);
    folder.reset();
  }
}

// What people on Wayland get: the window on a headless Weston compositor of its own, found and
// clicked through the accessibility tree, as screen readers do.
TEST_F(InstallerWindow, OnWaylandInstallsAndTheNoticeEndsTheRun) {
  const std::string runtime = at("wayland-runtime");
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  const pid_t weston = fork();
  ASSERT_GE(weston, 0);
  if (weston == 0) {
    if (!freopen(at("weston.log").c_str(), "w", stdout) || dup2(1, 2) < 0)
      _exit(127);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    unsetenv("DISPLAY");
    execlp("weston", "weston", "--backend=headless-backend.so", "--socket=wayland-quillora",
           "--idle-time=0", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::unique_ptr<const pid_t, void (*)(const pid_t*)> stop_weston(&weston, [](const pid_t* p) {
    kill(*p, SIGTERM);
    waitpid(*p, nullptr, 0);
  });
  ASSERT_FALSE(wait_for([&] { return exists(runtime + "/wayland-quillora") ? "y" : ""; }).empty())
      << read_bytes(at("weston.log"));

  put_list(plain_list);
  display_from_environment_ = false;
  environment_ = {{"GDK_BACKEND", "wayland"},
                  {"WAYLAND_DISPLAY", "wayland-quillora"},
                  {"XDG_RUNTIME_DIR", runtime}};
  launch();
  ref<AtspiAccessible> install = wait_for_accessible(pid_, "push button", "安装");
  ASSERT_NE(install, nullptr) << console_err();
  ASSERT_TRUE(do_action(install.get()));

  // Every word of the notice is the program's own, in the C locale too.
  ref<AtspiAccessible> ok = wait_for_accessible(pid_, "push button", "确定");
  ASSERT_NE(ok, nullptr) << console_err();
  std::string tree = accessible_tree(pid_);
  EXPECT_NE(tree.find("label: 安装成功!\n"), std::string::npos) << tree;
  EXPECT_NE(tree.find("alert: 提示\n"), std::string::npos) << tree;
  EXPECT_EQ(read_bytes(list()),
            "<?xml version=\"1.0\"?>\n<jsplugins>\n" + std::string(entry) + "\n</jsplugins>\n");
  ASSERT_TRUE(do_action(ok.get()));
  EXPECT_EQ(exit_status(), 0) << console_err();
}

}  // namespace

// An administrator starts the window for a user, with her HOME (`sudo -E`): GTK, which reads her
// settings, themes and modules as it starts, runs as her, and what the window edits is hers.
TEST_F(InstallerWindow, StartedByRootOnAUsersHomeTheWindowIsHers) {
  if (geteuid() != 0)
    GTEST_SKIP() << "creating a user takes root";
  ASSERT_EQ(chmod(home_.c_str(), 0755), 0);
  const std::string her_home = at("her");
  const throwaway_user her(her_home);
  ASSERT_TRUE(her.made());
  const uid_t uid = her.uid();
  make_dirs(her_home + "/.config/gtk-3.0");
  make_dirs(her_home + "/.local/share/Kingsoft/wps/jsaddons");
  write_bytes(her_home + "/.config/gtk-3.0/settings.ini",
              "[Settings]\ngtk-modules=" + her_home + "/module.so\n");
  ASSERT_EQ(std::system(("chown -R " + her.name() + ": '" + her_home + "'").c_str()), 0);
  environment_["HOME"] = her_home;
  as_root_ = true;

  start();
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(status, line) && line.rfind("Uid:", 0) != 0) {
  }
  EXPECT_EQ(line, "Uid:\t" + std::to_string(uid) + "\t" + std::to_string(uid) + "\t" +
                      std::to_string(uid) + "\t" + std::to_string(uid));
  click(window_, install_at);
  const std::string dialog = notice();
  ASSERT_FALSE(dialog.empty()) << console_err();
  struct stat st {};
  ASSERT_EQ(stat((her_home + "/" + std::string(list_path)).c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, uid);
  press_ok(dialog);
  EXPECT_EQ(exit_status(), 0);
}
