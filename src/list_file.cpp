// The list editor's part on disk: finds the list under the home folder, takes the lock, and
// replaces the list only by a complete, checked and synced copy.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <istream>
#include <ostream>
#include <string>
#include <thread>
#include <utility>

#include "addon_list.hpp"
#include "fd_streambuf.hpp"
#include "printable.hpp"
#include "unique_fd.hpp"

namespace {

// Removes the temporary list when the rewrite gives up, whatever the reason.
class temp_file_guard {
 public:
  explicit temp_file_guard(std::string path) : path_(std::move(path)) {}
  temp_file_guard(const temp_file_guard&) = delete;
  temp_file_guard& operator=(const temp_file_guard&) = delete;
  ~temp_file_guard() {
    if (!path_.empty())
      ::unlink(path_.c_str());
  }
  void keep() { path_.clear(); }

 private:
  std::string path_;
};

}  // namespace

// What the run so far has done, for callers that report it themselves.
struct run_state {
  bool quiet = false;                      // progress lines are not printed
  bool changed = false;                    // a new list took the old one's place
  failure_kind kind = failure_kind::none;  // of the last failure line
  std::string failed_list;                 // the list it concerns
  std::uint64_t failed_line = 0;           // the line of that list at fault, if any
  std::vector<list_report> lists;          // each list edited so far
};
run_state run;
std::string last_failure_line;  // without its newline

namespace {

// The list being worked on, relative to the home: the home's own, or a sandboxed copy's.
std::string shown(list_path);

// Tells a person what the last failure line means, as failure_texts has it.
void classify(failure_kind kind, std::uint64_t line = 0) {
  run.kind = kind;
  run.failed_list = shown;
  run.failed_line = line;
}

// One console line: a text of the program's own and a value from outside, made printable.
void say(std::FILE* stream, std::string_view text, std::string_view value = {}) {
  std::string line(text);
  line.append(printable(value));
  if (stream == stderr) {
    last_failure_line = line;
    classify(failure_kind::other);
  } else if (run.quiet) {
    return;
  }
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

// One failure line: what went wrong, the file concerned, and why.
void report(std::string_view what, std::string_view file, std::string_view why) {
  std::string line(what);
  if (!file.empty())
    line.append("：").append(printable(file));
  line.append("：").append(printable(why));
  say(stderr, line);
}

void report(std::string_view what, std::string_view file, int error) {
  report(what, file, std::strerror(error));
  if (error == EACCES || error == EPERM || error == EROFS)
    classify(failure_kind::no_permission);
  else if (error == ENOSPC || error == EDQUOT)
    classify(failure_kind::disk_full);
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

unique_fd open_for_reading(const std::string& path) {
  // Non-blocking, so that a FIFO in the list's place cannot hang the program before it is refused.
  return unique_fd(::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
}

// Why a list read whole can't be edited, after the list's path on a failure line.
std::string why_not(rewrite_status status, std::uint64_t line, const std::string& detail,
                    int error) {
  const std::string at = "第" + std::to_string(line) + "行";
  switch (status) {
    case rewrite_status::done:
      break;
    case rewrite_status::read_failed:
    case rewrite_status::write_failed:
      return std::strerror(error != 0 ? error : EIO);
    case rewrite_status::too_large:
      return "文件大于" + std::to_string(max_list_size >> 20) + " MiB的上限";
    case rewrite_status::malformed:
      return at + "有XML格式错误：" + detail;
    case rewrite_status::not_jsplugins:
      return at + "的根元素不是<jsplugins>";
    case rewrite_status::not_utf8:
      return "XML声明的编码不是UTF-8";
    case rewrite_status::entity_declared:
      return at + "声明了实体";
    case rewrite_status::too_many_attributes:
      return at + "的标签属性过多";
    case rewrite_status::too_deep:
      return at + "的元素嵌套过深";
    case rewrite_status::no_place:
      return "找不到放置Quillora插件节点的位置";
  }
  return {};
}

// Checks the list just opened: it must be a regular file. `refused` says what can't be done with
// anything else.
bool check_list(int fd, struct stat& st, std::string_view refused = "无法编辑XML文件") {
  if (::fstat(fd, &st) != 0) {
    report("无法读取XML文件", shown, errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    report(refused, shown, "不是普通文件");
    return false;
  }
  if (static_cast<std::uint64_t>(st.st_size) > max_list_size) {
    report("无法读取XML文件", shown, why_not(rewrite_status::too_large, 0, {}, 0));
    return false;
  }
  return true;
}

// Reports a read of the whole list that failed, or a list that can't be edited (with `refused`
// before the reason), and gives false; a blank list is none of the user's work and gives true.
bool judge_read(const scan_result& scan, int read_error, std::string_view refused) {
  if (scan.status == rewrite_status::read_failed || read_error != 0) {
    report("读取XML文件失败", shown, read_error != 0 ? read_error : EIO);
    return false;
  }
  if (scan.status == rewrite_status::done || scan.blank)
    return true;
  if (scan.status == rewrite_status::too_large)
    refused = "无法读取XML文件";  // whatever the run meant to do with it
  report(refused, shown, why_not(scan.status, scan.line, scan.detail, 0));
  classify(failure_kind::malformed, scan.line);
  return false;
}

// Reads the open list whole, tells what it holds, and judges it as judge_read does.
bool scan_file(int fd, scan_result& scan, std::string_view refused) {
  fd_streambuf buffer(fd);
  std::istream stream(&buffer);
  scan = scan_list(stream);
  return judge_read(scan, buffer.error(), refused);
}

// Gives the new copy the list's owner, group and permission bits. Handing a file to another
// user is refused to all but root; the copy then keeps at least the group where it may.
int keep_owner_and_mode(int fd, const struct stat& old) {
  if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
    if (errno != EPERM)
      return errno;
    if (::fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
      // not a member of the list's group: the copy keeps ours
    }
  }
  // The permission bits alone: a set-user-ID, set-group-ID or sticky bit on a list is no
  // one's wish, and a copy that kept them could run as the list's owner.
  return ::fchmod(fd, old.st_mode & 0777) == 0 ? 0 : errno;
}

// Writes a complete new list beside the file at `path` and puts it in that file's place in one
// step, so that the list is at every moment either the old one or the new one. `old` is the
// file being replaced, or null when there is none. `fill` writes the content; when it returns
// false without a write error, it has reported why. `check`, if there is one, reads the synced
// copy from its start and says whether it may replace the file. `done_text` and `done_value` are
// printed once the new list is in place.
bool replace_list(const std::string& path, int folder_fd, const struct stat* old,
                  const std::function<bool(std::ostream&)>& fill,
                  const std::function<bool(std::istream&)>& check, std::string_view done_text,
                  std::string_view done_value) {
  const std::string temp = path + std::string(temp_suffix);
  if (::unlink(temp.c_str()) != 0 && errno != ENOENT) {  // left by a run that crashed
    report("无法删除残留的临时文件", temp, errno);
    return false;
  }
  unique_fd out(::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                       old != nullptr ? 0600 : 0666));
  if (!out) {
    report("无法创建临时文件", temp, errno);
    return false;
  }
  temp_file_guard guard(temp);
  if (old != nullptr) {
    if (const int error = keep_owner_and_mode(out.get(), *old); error != 0) {
      report("无法设置临时文件的权限", temp, error);
      return false;
    }
  }

  fd_streambuf buffer(out.get());
  std::ostream stream(&buffer);
  const bool filled = fill(stream);
  stream.flush();
  if (buffer.error() != 0 || !stream) {
    report("写入临时文件失败", temp, buffer.error() != 0 ? buffer.error() : EIO);
    return false;
  }
  if (!filled)
    return false;
  if (::fsync(out.get()) != 0) {
    report("无法将临时文件写入磁盘", temp, errno);
    return false;
  }
  if (check) {
    if (::lseek(out.get(), 0, SEEK_SET) != 0) {
      report("读取临时文件失败", temp, errno);
      return false;
    }
    fd_streambuf written(out.get());
    std::istream copy(&written);
    if (!check(copy)) {
      report("无法修改XML文件", shown, "修改后的文件未通过检查，XML文件保持原样");
      return false;
    }
  }
  if (::close(out.release()) != 0) {
    report("关闭临时文件失败", temp, errno);
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    report("无法用临时文件替换XML文件", shown, errno);
    return false;
  }
  guard.keep();
  run.changed = true;
  if (!done_text.empty())
    say(stdout, done_text, done_value);
  if (::fsync(folder_fd) != 0) {
    report("无法将XML文件所在目录写入磁盘", folder_of(path), errno);
    return false;
  }
  return true;
}

bool write_new_list(const std::string& path, int folder_fd, const struct stat* old) {
  return replace_list(
      path, folder_fd, old,
      [](std::ostream& out) { return static_cast<bool>(out << list_skeleton()); }, nullptr,
      "已创建新的XML文件：", shown);
}

// Rewrites the list at `path`, open as `in` with the status `st`, into its temporary copy,
// copying it from its start with the edits that `facts`, its scan, gives.
bool rewrite_file(const std::string& path, int folder_fd, int in, const struct stat& st,
                  bool install, const list_reader::list_facts& facts) {
  auto fill = [&](std::ostream& out) {
    if (::lseek(in, 0, SEEK_SET) != 0) {
      report("读取XML文件失败", shown, errno);
      return false;
    }
    fd_streambuf buffer(in);
    std::istream stream(&buffer);
    const rewrite_result result = rewrite_from(facts, stream, out, install);
    if (result.status == rewrite_status::done && buffer.error() == 0)
      return true;
    if (result.status == rewrite_status::write_failed)
      return false;  // the caller reports the write
    if (result.status == rewrite_status::read_failed || buffer.error() != 0) {
      report("读取XML文件失败", shown, buffer.error() != 0 ? buffer.error() : EIO);
      return false;
    }
    report("无法修改XML文件", shown,
           why_not(result.status, result.line, result.detail, buffer.error()));
    classify(failure_kind::malformed, result.line);
    return false;
  };
  // The copy must hold all that the scan found in the old list but the add-on.
  auto check = [&](std::istream& copy) { return rewrite_is_sound(facts, copy, install); };
  return replace_list(path, folder_fd, &st, fill, check, install ? "已添加Quillora插件节点" : "",
                      {});
}

}  // namespace

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

namespace {

// Takes the lock on the list's folder. Another copy holds it only while it edits, for a moment; a
// copy that hangs must not hang this one: past a second the user is told, past the bound it fails.
bool lock_folder(int fd, const std::string& folder) {
  using clock = std::chrono::steady_clock;
  const clock::time_point start = clock::now();
  const int bound = lock_wait_seconds();
  bool told = false;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
      return true;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      report("无法锁定XML文件所在目录", folder, errno);
      return false;
    }
    const clock::duration waited = clock::now() - start;
    if (waited >= std::chrono::seconds(bound)) {
      report("无法锁定XML文件所在目录", folder,
             "等待超过" + std::to_string(bound) + "秒，另一个安装程序仍在修改XML文件");
      classify(failure_kind::busy);
      return false;
    }
    if (!told && waited >= std::chrono::seconds(1)) {
      say(stderr, "另一个安装程序正在修改XML文件，请稍候");
      told = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Creates the list's missing folders under the working folder, the home: each one with mkdirat
// relative to the one before it, which is opened without following a link, so that no link on
// the way leads the run elsewhere. Under a home without .local the folders are the user's alone.
bool make_list_folders() {
  const std::string_view folders = list_path.substr(0, list_path.rfind('/'));
  unique_fd at(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!at) {
    report("无法创建文件夹", ".", errno);
    return false;
  }
  struct stat st;
  const mode_t mode = ::fstatat(at.get(), ".local", &st, AT_SYMLINK_NOFOLLOW) != 0 ? 0700 : 0755;
  bool made = false;
  for (std::size_t begin = 0; begin < folders.size();) {
    const std::size_t end = std::min(folders.find('/', begin), folders.size());
    const std::string name(folders.substr(begin, end - begin));
    const std::string_view so_far = folders.substr(0, end);
    if (::mkdirat(at.get(), name.c_str(), mode) == 0) {
      made = true;
    } else if (errno != EEXIST) {
      report("无法创建文件夹", so_far, errno);
      return false;
    }
    unique_fd next(
        ::openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) {
      const int error = errno;
      const bool link =
          ::fstatat(at.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
      report("无法创建文件夹", so_far,
             link ? std::string_view("是符号链接") : std::strerror(error));
      return false;
    }
    at = std::move(next);
    begin = end + 1;
  }
  if (made)
    say(stdout, "已创建文件夹：", folders);
  return true;
}

// Everything after the working directory is the home directory.
bool edit_list(bool install, bool create_folders) {
  std::string path(shown);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      report("无法访问XML文件", shown, errno);
      return false;
    }
  } else if (S_ISLNK(st.st_mode)) {
    // A list kept elsewhere and linked here: edit the file itself and keep the link.
    char* target = ::realpath(path.c_str(), nullptr);
    if (target == nullptr) {
      if (errno == ENOENT && !install)
        return true;  // links to nothing: nothing to remove
      report("无法访问XML文件链接的文件", shown,
             errno == ENOENT ? std::string_view("链接指向的文件不存在") : std::strerror(errno));
      return false;
    }
    path = target;
    std::free(target);
  }

  // Two copies of the program take turns; the lock lives on the folder, which a rename of the
  // list leaves in place.
  const std::string folder = folder_of(path);
  unique_fd folder_fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder_fd) {
    if (errno == ENOENT || errno == ENOTDIR) {
      if (!install)
        return true;  // no folder, no list
      if (create_folders && path == list_path)
        return make_list_folders() && edit_list(install, false);
      report("无法创建XML文件", shown, errno);
      classify(failure_kind::no_suite_folder);
      return false;
    }
    report("无法打开XML文件所在目录", folder, errno);
    return false;
  }
  if (!lock_folder(folder_fd.get(), folder))
    return false;
  // A copy killed in the middle of a rewrite leaves its temporary list behind. Under the lock no
  // copy is writing one, so it goes now, also when this run has nothing to write; where it
  // can't, a rewrite reports why and a run with nothing to write leaves the list as it is. So a
  // failure here (none there, or not ours to remove) is no failure of the run.
  ::unlink((path + std::string(temp_suffix)).c_str());

  // The file scanned is the one copied: its facts place the edits.
  scan_result scan;
  const unique_fd in = open_for_reading(path);
  if (!in) {
    if (errno != ENOENT) {
      report("无法读取XML文件", shown, errno);
      return false;
    }
    return !install || write_new_list(path, folder_fd.get(), nullptr);
  }
  if (!check_list(in.get(), st) || !scan_file(in.get(), scan, "无法修改XML文件"))
    return false;

  if (install) {
    // An empty file holds no list to keep: it is given the new list, like a missing one.
    if (scan.blank)
      return write_new_list(path, folder_fd.get(), &st);
    if (scan.current_entry) {
      say(stdout, "包含Quillora插件节点，无需添加");
      return true;
    }
    return rewrite_file(path, folder_fd.get(), in.get(), st, true, scan.facts);
  }
  if (!scan.enabled_entry)
    return true;
  say(stdout, "包含Quillora插件节点，需删除");
  return rewrite_file(path, folder_fd.get(), in.get(), st, false, scan.facts);
}

bool edit_in_home(int mode, const edit_options& options) {
  // With a file-size limit, a write past it must fail with EFBIG instead of killing the process.
  std::signal(SIGXFSZ, SIG_IGN);

  const char* home = std::getenv("HOME");
  if (home == nullptr) {
    say(stderr, "无法获取用户主目录路径");
    return false;
  }
  say(stdout, "用户主目录路径：", home);
  if (options.home ? ::fchdir(*options.home) != 0 : ::chdir(home) != 0) {
    say(stderr, "无法更改工作目录");
    return false;
  }
  if (char* cwd = ::getcwd(nullptr, 0)) {
    say(stdout, "当前工作目录：", cwd);
    std::free(cwd);
  } else {
    report("无法获取当前工作目录", {}, errno);  // the list is found relative to it all the same
  }
  const std::vector<std::string> further = sandbox_lists(AT_FDCWD);
  struct stat st;
  const bool home_list_found = ::stat(std::string(list_folder()).c_str(), &st) == 0;
  bool ok = true;
  const auto edit_one = [&](const std::string& list, bool create_folders) {
    shown = list;
    const bool changed_before = run.changed;
    last_failure_line.clear();
    run.changed = false;
    list_report done;
    done.list = list;
    done.ok = edit_list(mode == 0, create_folders);
    done.changed = run.changed;
    if (!done.ok) {
      done.error = last_failure_line;
      done.reason = run.kind;
      done.failed_line = run.failed_line;
    }
    run.changed = changed_before || run.changed;
    run.lists.push_back(done);
    ok = done.ok && ok;
  };
  // The home's own list, as ever, unless a sandboxed copy of the suite is all that the user has.
  if (further.empty() || home_list_found || (mode == 0 && options.create_folders))
    edit_one(std::string(list_path), options.create_folders);
  // One line names each further list; its own lines follow.
  for (const std::string& list : further) {
    say(stdout, "沙盒中的XML文件：", list);
    edit_one(list, false);
  }
  shown = list_path;
  // The run's failure line is the last one of a list that failed.
  for (const list_report& done : run.lists) {
    if (!done.ok) {
      last_failure_line = done.error;
      run.kind = done.reason;
      run.failed_list = done.list;
      run.failed_line = done.failed_line;
    }
  }
  return ok;
}

}  // namespace

std::vector<std::string> sandbox_lists(int home) {
  // Where each kind of sandbox keeps an app's home, and where in it the suite's folder lies.
  static constexpr struct {
    std::string_view apps;
    std::string_view folder;
  } kinds[] = {
      {".var/app", "data/Kingsoft/wps/jsaddons"},
      {"snap", "current/.local/share/Kingsoft/wps/jsaddons"},
      {".linglong", "share/Kingsoft/wps/jsaddons"},
  };
  std::vector<std::string> lists;
  for (const auto& kind : kinds) {
    const std::string apps(kind.apps);
    const int fd = ::openat(home, apps.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
      continue;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
      ::close(fd);
      continue;
    }
    std::vector<std::string> found;
    while (const dirent* app = ::readdir(dir)) {
      if (app->d_name[0] == '.')
        continue;
      const std::string folder = apps + "/" + app->d_name + "/" + std::string(kind.folder);
      struct stat st;
      if (::fstatat(home, folder.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode))
        found.push_back(folder + "/" + std::string(list_path.substr(list_folder().size() + 1)));
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end());
    lists.insert(lists.end(), found.begin(), found.end());
  }
  return lists;
}

edit_report edit_file(int mode, const edit_options& options) {
  run = run_state{};
  run.quiet = options.quiet;
  last_failure_line.clear();
  edit_report report;
  report.ok = edit_in_home(mode, options);
  report.changed = run.changed;
  report.error = last_failure_line;
  report.lists = std::move(run.lists);
  report.reason = report.ok ? failure_kind::none : run.kind;
  report.failed_list = run.failed_list;
  report.failed_line = run.failed_line;
  run = run_state{};
  return report;
}

bool write_file(int mode) {
  return edit_file(mode, {}).ok;
}

namespace {

// Opens the list under $HOME for reading, through a link to it if there is one. Gives no file and
// `absent` when there is no list; no file and an error line when it can't be opened.
unique_fd open_list_to_read(std::optional<int> folder, std::string_view list, bool& absent) {
  shown = list;
  absent = false;
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    say(stderr, "无法获取用户主目录路径");
    return unique_fd();
  }
  if (folder && *folder < 0) {
    say(stderr, "无法更改工作目录");
    return unique_fd();
  }
  const std::string path = folder ? std::string(list) : std::string(home) + "/" + std::string(list);
  unique_fd in(::openat(folder ? *folder : AT_FDCWD, path.c_str(),
                        O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!in) {
    if (errno == ENOENT || errno == ENOTDIR)
      absent = true;  // no list, no folder, or a link to nothing
    else
      report("无法读取XML文件", shown, errno);
    return unique_fd();
  }
  struct stat st;
  if (!check_list(in.get(), st, "无法读取XML文件"))
    return unique_fd();
  return in;
}

}  // namespace

list_state read_list_state(std::optional<int> home, std::string_view list) {
  bool absent = false;
  const unique_fd in = open_list_to_read(home, list, absent);
  if (!in)
    return absent ? list_state::absent : list_state::unreadable;
  scan_result scan;
  if (!scan_file(in.get(), scan, "无法读取XML文件"))
    return list_state::unreadable;
  if (scan.enabled_entry)
    return list_state::enabled;
  return scan.entry ? list_state::disabled : list_state::absent;
}

std::optional<std::vector<list_reader::listed_entry>> read_list_entries(std::optional<int> home,
                                                                        std::string_view list) {
  last_failure_line.clear();
  bool absent = false;
  const unique_fd in = open_list_to_read(home, list, absent);
  if (!in) {
    if (!absent)
      return std::nullopt;
    return std::vector<list_reader::listed_entry>();
  }
  fd_streambuf buffer(in.get());
  std::istream stream(&buffer);
  scan_result read;
  std::vector<list_reader::listed_entry> entries = list_entries(stream, read);
  if (!judge_read(read, buffer.error(), "无法读取XML文件"))
    return std::nullopt;
  return entries;
}

std::string last_failure() {
  return last_failure_line;
}
