// Gives each test a fresh home folder and puts the process back as it was afterwards.
#include "test_home.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "addon_list.hpp"
#include "editor.hpp"
#include "render_text.hpp"

void TestHome::SetUp() {
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  old_cwd_ = cwd;
  if (const char* home = std::getenv("HOME")) {
    had_home_ = true;
    old_home_ = home;
  }
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qhome.XXXXXX";
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  char* real = realpath(pattern.c_str(), nullptr);
  ASSERT_NE(real, nullptr);
  home_ = real;
  std::free(real);
  setenv("HOME", home_.c_str(), 1);
}

void TestHome::TearDown() {
  EXPECT_EQ(chdir(old_cwd_.c_str()), 0);
  if (had_home_) {
    setenv("HOME", old_home_.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
  if (!home_.empty())
    remove_tree(home_);
}

run_report run_printing(mode what) {
  edit_request request;
  request.what = what;
  request.home_path = home_variable();
  request.on_wait = [](const std::string&, bool waiting) {
    if (waiting)
      print_line(true, "另一个安装程序正在修改XML文件，请稍候");
  };
  run_report run = ::run_editor(request);
  print_console(run);
  return run;
}

editor_run TestHome::run_editor(mode what) {
  editor_run run;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  run.record = run_printing(what);
  run.ok = succeeded(run.record);
  run.out = testing::internal::GetCapturedStdout();
  run.err = testing::internal::GetCapturedStderr();
  return run;
}

std::string TestHome::at(std::string_view relative) const {
  return home_ + "/" + std::string(relative);
}

std::string TestHome::list() const {
  return at(list_path);
}

void TestHome::make_list_folder() const {
  make_dirs(at(".local/share/Kingsoft/wps/jsaddons"));
}

void TestHome::put_list(std::string_view bytes) const {
  make_list_folder();
  write_bytes(list(), bytes);
}

std::string TestHome::head_lines() const {
  return "用户主目录路径：" + home_ + "\n当前工作目录：" + home_ + "\n";
}

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void write_bytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void make_dirs(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    ASSERT_TRUE(mkdir(part.c_str(), 0755) == 0 || errno == EEXIST) << part;
    if (slash == std::string::npos)
      break;
  }
}

void remove_tree(const std::string& path) {
  // Folders that a test made unreadable or unwritable must not stop the clean-up.
  const std::string command = "chmod -R u+rwX '" + path + "' 2>/dev/null; rm -rf '" + path + "'";
  EXPECT_EQ(std::system(command.c_str()), 0);
}

bool well_formed(const std::string& path) {
  const std::string command = std::string(XMLLINT) + " --noout '" + path + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

std::string failure(const std::string& what, const std::string& why, const std::string& file) {
  return what + "：" + file + "：" + why + "\n";
}

void PrintTo(const outcome& o, std::ostream* os) {
  *os << "{code " << o.code << ", stdout \"" << o.out << "\", stderr \"" << o.err << "\"}";
}
outcome succeeded(const std::string& out) {
  return {0, out, ""};
}
outcome failed(const std::string& out, const std::string& err) {
  return {1, out, err};
}

void become_nobody() {
  if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0))
    _exit(3);
}

namespace {

// Reads both pipes to their ends at once, so that a child that prints more than a pipe holds
// never waits for a reader that waits for it.
std::pair<std::string, std::string> drain(int out, int err) {
  std::string bytes[2];
  pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
  char chunk[65536];
  for (int open = 2; open > 0;) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR)
      break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0)
        continue;
      const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        bytes[i].append(chunk, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  return {bytes[0], bytes[1]};
}

}  // namespace

child start(const std::function<bool()>& body) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    std::abort();
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0)
      _exit(4);
    alarm(10);
    _exit(body() ? 0 : 1);
  }
  close(out[1]);
  close(err[1]);
  return {pid, out[0], err[0]};
}

bool running(const child& c) {
  siginfo_t info{};
  return waitid(P_PID, c.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

outcome finish(const child& c) {
  int status = 0;
  if (c.pid <= 0)
    return {-1000, "", "no child"};
  auto [out, err] = drain(c.out, c.err);
  if (waitpid(c.pid, &status, 0) != c.pid)
    return {-1000, "", "no child"};
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), out, err};
}

outcome in_child(const std::function<bool()>& body) {
  return finish(start(body));
}

namespace {

bool retried(const std::string& command) {
  for (int tries = 0; tries < 100; ++tries) {
    if (std::system((command + " 2>/dev/null").c_str()) == 0)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return std::system(command.c_str()) == 0;
}

}  // namespace

throwaway_user::throwaway_user(const std::string& home)
    : name_("quillora-u" + std::to_string(getpid())) {
  made_ = retried("useradd --no-create-home --user-group --shell /usr/sbin/nologin --home-dir '" +
                  home + "' " + name_);
  const passwd* entry = made_ ? getpwnam(name_.c_str()) : nullptr;
  made_ = entry != nullptr;
  if (entry != nullptr) {
    uid_ = entry->pw_uid;
    gid_ = entry->pw_gid;
  }
}

throwaway_user::~throwaway_user() {
  if (made_) {
    EXPECT_TRUE(retried("userdel --remove " + name_)) << name_;
  }
}
