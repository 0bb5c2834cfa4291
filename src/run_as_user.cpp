// Gives up root for the user whose files a run edits, for good, before it opens any of them.
#include "run_as_user.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "folder_walk.hpp"
#include "printable.hpp"

namespace {

account account_of(const passwd& entry) {
  return {entry.pw_name, entry.pw_uid, entry.pw_gid, entry.pw_dir};
}

bool cannot_switch(const account& who, const std::string& why, std::string& error) {
  error = "无法切换到用户：" + printable(who.name) + "：" + why;
  return false;
}

bool step_failed(const account& who, const char* step, std::string& error) {
  return cannot_switch(who, std::string(step) + "：" + std::strerror(errno), error);
}

// A lookup that found nothing sets one of these, or nothing at all; any other errno is a
// failure of the database itself (an unreachable directory server, say).
bool not_found(int error) {
  return error == 0 || error == ENOENT || error == ESRCH || error == EBADF || error == EPERM;
}

bool ids_are(uid_t uid, gid_t gid) {
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  return ::getresuid(&ruid, &euid, &suid) == 0 && ::getresgid(&rgid, &egid, &sgid) == 0 &&
         ruid == uid && euid == uid && suid == uid && rgid == gid && egid == gid && sgid == gid;
}

// What a walk has met on its way: the first owner other than root, and the first root folder
// that others may write.
struct walk {
  std::optional<uid_t> owner;
  std::string shared;
  int links = 40;  // as the kernel, so that links in a circle end
};

// Which folders on a path must be writable by root alone. The others may be sticky folders that
// anyone may write, such as /tmp: there no one else may replace root's entries, and the next
// step checks that the entry is root's.
enum class rule { all, last, none };

// Steps from the folder `at` along `path`, one name at a time and never through a link or into a
// folder that root does not own, noting in `w` what it meets; `so_far` names where it is for the
// failure line. Gives whether the whole path was walked, with `at` its last folder.
bool step_along(unique_fd& at, std::string_view path, rule strict, std::string& so_far, walk& w) {
  if (!path.empty() && path.front() == '/') {
    at = unique_fd(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    so_far = "/";
    if (!at)
      return false;
  }
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string name(path.substr(0, slash));
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    if (name.empty() || name == ".")
      continue;
    const bool last = path.find_first_not_of('/') == std::string_view::npos;
    const bool root_alone = strict == rule::all || (strict == rule::last && last);
    if (!so_far.empty() && so_far.back() != '/')
      so_far += '/';
    so_far += name;
    struct stat st;
    if (::fstatat(at.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return false;
    if (st.st_uid != 0) {
      w.owner = st.st_uid;
      return false;
    }
    if (S_ISLNK(st.st_mode)) {
      // A link of root's own points where root meant.
      std::string target(static_cast<std::size_t>(st.st_size) + 1, '\0');
      const ssize_t size = ::readlinkat(at.get(), name.c_str(), target.data(), target.size());
      if (size <= 0 || static_cast<std::size_t>(size) >= target.size() || --w.links < 0)
        return false;
      target.resize(static_cast<std::size_t>(size));
      if (!step_along(at, target, root_alone ? rule::last : rule::none, so_far, w))
        return false;
      continue;
    }
    if (!S_ISDIR(st.st_mode))
      return false;
    unique_fd next(::openat(at.get(), name.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    // What was opened is what counts, whatever stood there a moment before.
    if (!next || ::fstat(next.get(), &st) != 0)
      return false;
    if (st.st_uid != 0) {
      w.owner = st.st_uid;
      return false;
    }
    if (w.shared.empty() && others_may_write(st) && (root_alone || (st.st_mode & S_ISVTX) == 0))
      w.shared = so_far;
    at = std::move(next);
  }
  return true;
}

std::string cannot_look_up(uid_t uid) {
  const std::string owner = std::to_string(uid);
  if (not_found(errno))
    return "无法切换到用户主目录的所有者：" + owner + "：用户数据库中没有该用户";
  return "无法查找用户主目录的所有者：" + owner + "：" + std::strerror(errno);
}

}  // namespace

std::optional<account> find_user(const char* name, std::string& error) {
  errno = 0;
  const passwd* entry = ::getpwnam(name);
  if (entry == nullptr) {
    if (not_found(errno))
      error = "找不到用户：" + printable(name);
    else
      error = "无法查找用户：" + printable(name) + "：" + std::strerror(errno);
    return std::nullopt;
  }
  return account_of(*entry);
}

// Groups first and the user id last: once the user id is hers, the process may no longer
// change its groups. All three ids of each kind change, so that no saved id leads back to root.
bool become(const account& who, std::string& error) {
  if (who.uid == 0)
    return true;
  if (::initgroups(who.name.c_str(), who.gid) != 0)
    return step_failed(who, "initgroups", error);
  if (::setresgid(who.gid, who.gid, who.gid) != 0)
    return step_failed(who, "setresgid", error);
  // Fails with EAGAIN, for one, when she already runs as many processes as her limit allows.
  if (::setresuid(who.uid, who.uid, who.uid) != 0)
    return step_failed(who, "setresuid", error);
  // A process kept capable by the system's settings (securebits, say) would still be root in
  // all but name.
  if (!ids_are(who.uid, who.gid) || ::setresuid(0, 0, 0) == 0 ||
      (who.gid != 0 && ::setresgid(0, 0, 0) == 0))
    return cannot_switch(who, "仍能恢复root权限", error);
  // The kernel marks a process that changed its ids not dumpable only while fs.suid_dumpable is
  // 0; at 1 she could attach to it and read what it holds of root's (its environment, say).
  if (::prctl(PR_SET_DUMPABLE, 0) != 0)
    return step_failed(who, "prctl", error);
  return true;
}

home_check check_home(const std::vector<std::string>& below, bool reading) {
  home_check found;
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0')
    return found;
  walk w;
  std::string so_far;
  unique_fd at(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (step_along(at, home, rule::last, so_far, w)) {
    for (const std::string& folder : below) {
      if (w.owner)
        break;
      unique_fd from(::dup(at.get()));
      std::string path = so_far;
      step_along(from, folder, rule::all, path, w);
    }
    if (!w.owner && w.shared.empty())
      found.home = std::move(at);
  }
  if (w.owner) {
    errno = 0;
    const passwd* entry = ::getpwuid(*w.owner);
    found.verdict = entry != nullptr ? home_check::user : home_check::refused;
    if (entry == nullptr)
      found.error = cannot_look_up(*w.owner);
    else
      found.owner = account_of(*entry);
  } else if (!w.shared.empty()) {
    found.verdict = home_check::refused;
    found.error =
        std::string(reading ? "拒绝以root身份读取XML文件：" : "拒绝以root身份修改XML文件：") +
        printable(w.shared) + "：其他用户可以写入此文件夹，请用--user指定用户";
  }
  return found;
}

std::optional<int> run_as(const account& who, int deadline_seconds,
                          const std::function<int()>& body,
                          const std::function<int(const std::string&)>& cannot_become,
                          std::string& error) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    error = std::string("无法启动为用户运行的进程：") + std::strerror(errno);
    return std::nullopt;
  }
  if (pid == 0) {
    std::string why;
    const int code = become(who, why) ? body() : cannot_become(why);
    std::fflush(nullptr);
    ::_exit(code);
  }
  using clock = std::chrono::steady_clock;
  const clock::time_point deadline = clock::now() + std::chrono::seconds(deadline_seconds);
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid)
      break;
    if (done < 0 && errno != EINTR) {
      error = std::string("无法等待为用户运行的进程：") + std::strerror(errno);
      return std::nullopt;
    }
    if (clock::now() >= deadline) {
      // Hers to stop, but not to keep root's caller waiting.
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      error = "为用户运行的进程超时：" + printable(who.name) + "：超过" +
              std::to_string(deadline_seconds) + "秒仍未结束，已终止";
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  error = "为用户运行的进程异常结束：" + printable(who.name) + "：" +
          strsignal(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  return std::nullopt;
}
