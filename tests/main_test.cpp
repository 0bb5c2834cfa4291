// The installer's window on a real X server with a real window manager, driven as a person
// would: clicks on the pictures, the keyboard, the window manager's close; what a screen reader
// hears is read from the accessibility tree. Runs under tests/with-desktop.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atspi/atspi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "addon_list.hpp"
#include "test_home.hpp"

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

// Polls `probe` until it gives a non-empty answer or the time is up.
template <typename Probe>
std::string wait_for(Probe probe, std::chrono::seconds limit = 20s) {
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

// What a screen reader finds in the program with process `pid`.
std::string accessible_tree(pid_t pid) {
  static const bool ready = atspi_init() >= 0;
  if (!ready)
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

class InstallerWindow : public TestHome {
 protected:
  void SetUp() override {
    TestHome::SetUp();
    folder_ = SOURCE_DIR;
  }

  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    TestHome::TearDown();
  }

  // Starts the installer from `folder_` with `args`, its console going to files.
  void start(std::vector<std::string> args = {}) {
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
      std::vector<char*> argv{const_cast<char*>(INSTALLER)};
      for (auto& arg : args)
        argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(INSTALLER, argv.data());
      _exit(127);
    }
    window_ = find_window("--pid " + std::to_string(pid_));
    ASSERT_FALSE(window_.empty()) << "the window never showed; stderr:\n" << read_bytes(err_path_);
  }

  // The notice, once it shows.
  std::string notice() { return find_window("--name '^安装提示$'"); }

  void press_ok(const std::string& notice_window) {
    shell("xdotool windowactivate --sync " + notice_window + " key --clearmodifiers Return");
  }

  void close_through_window_manager(const std::string& id) { shell("wmctrl -i -c " + id); }

  // The exit status once the program has ended, or -1 if it is still running after a while.
  int exit_status() {
    auto end = std::chrono::steady_clock::now() + 20s;
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

  std::string folder_;
  bool display_from_environment_ = true;
  pid_t pid_ = -1;
  std::string window_;
  std::string out_path_, err_path_;
};

constexpr std::string_view plain_list = "<?xml version=\"1.0\"?>\n<jsplugins>\n</jsplugins>\n";

TEST_F(InstallerWindow, OpensUndecoratedAndCentredAtTheSizeOfItsBackground) {
  start();
  int width = 0, height = 0;
  ASSERT_NE(gdk_pixbuf_get_file_info(SOURCE_DIR "/imgs/bg.jpg", &width, &height), nullptr);

  geometry g = window_geometry(window_);
  EXPECT_EQ(g.width, width + 2 * border);
  EXPECT_EQ(g.height, height + 2 * border);
  EXPECT_EQ(shell("xprop -id " + window_ + " _NET_FRAME_EXTENTS"),
            "_NET_FRAME_EXTENTS(CARDINAL) = 0, 0, 0, 0");
  std::string display = shell("xdotool getdisplaygeometry");
  int screen_w = std::atoi(display.c_str());
  int screen_h = std::atoi(display.c_str() + display.find(' ') + 1);
  EXPECT_NEAR(g.x, (screen_w - g.width) / 2, 1);
  EXPECT_NEAR(g.y, (screen_h - g.height) / 2, 1);

  // A person looks at this one before the window is called done.
  shell("mkdir -p " BUILD_DIR "/screenshots && import -window root " BUILD_DIR
        "/screenshots/window.png");
  EXPECT_TRUE(exists(BUILD_DIR "/screenshots/window.png"));
}

TEST_F(InstallerWindow, ScreenReadersNameEachPictureButton) {
  start();
  std::string tree = accessible_tree_with(pid_, "push button: 卸载");
  EXPECT_NE(tree.find("push button: 安装\n"), std::string::npos) << tree;
  EXPECT_NE(tree.find("push button: 卸载\n"), std::string::npos) << tree;
  EXPECT_NE(tree.find("push button: 退出\n"), std::string::npos) << tree;
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

  close_through_window_manager(dialog);
  EXPECT_EQ(exit_status(), 0);
}

TEST_F(InstallerWindow, FailedInstallSaysSoInsteadOfSuccess) {
  // The list's folder is missing: the editor creates no folders.
  start();
  click(window_, install_at);
  std::string dialog = notice();
  ASSERT_FALSE(dialog.empty());

  std::string tree = accessible_tree_with(pid_, "安装失败!");
  EXPECT_NE(tree.find("label: 安装失败!\n"), std::string::npos) << tree;
  EXPECT_EQ(tree.find("成功"), std::string::npos) << tree;
  EXPECT_NE(console_err().find("无法创建XML文件：" + std::string(list_path)), std::string::npos)
      << console_err();
  EXPECT_FALSE(exists(list()));

  press_ok(dialog);
  EXPECT_EQ(exit_status(), 0);
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

TEST_F(InstallerWindow, DraggingTheBackgroundMovesTheWindow) {
  start();
  geometry before = window_geometry(window_);
  shell("xdotool mousemove --window " + window_ +
        " 60 60 mousedown 1 sleep 0.3 mousemove_relative -- -50 -40 sleep 0.3"
        " mousemove_relative -- -50 -40 sleep 0.3 mouseup 1 sleep 0.3");
  geometry after = window_geometry(window_);
  EXPECT_EQ(after.x, before.x - 100);
  EXPECT_EQ(after.y, before.y - 80);
}

TEST_F(InstallerWindow, WithoutItsPicturesTheWindowStillWorks) {
  folder_ = home_;  // a folder with no imgs in it
  put_list(plain_list);
  start();
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

}  // namespace
