// Gives up root for the user whose files a run edits, for good, before it opens any of them.
#include "run_as_user.hpp"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "folder_walk.hpp"

namespace {

account account_of(const passwd& entry) {
  return {entry.pw_name, entry.pw_uid, entry.pw_gid, entry.pw_dir};
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

// Root's walk that finds whose run it is: root's links alone, stopping at the first owner other
// than root; `how` says which folders must be writable by root alone.
walk_rules owner_search(strictness how) {
  walk_rules rules;
  rules.links = link_rule::roots_only;
  rules.strict = how;
  rules.find_owner = true;
  return rules;
}

}  // namespace

result<account> find_user(const char* name) {
  errno = 0;
  const passwd* entry = ::getpwnam(name);
  const int error = errno;
  if (entry != nullptr)
    return account_of(*entry);
  if (not_found(error))
    return failure::refusal(step::no_such_user, name, cause::unknown_user);
  return failure::of_system(step::look_up_user, name, error);
}

std::optional<failure> check_user_home(const account& who) {
  result<walk_end> reached = walk(AT_FDCWD, who.home, owner_search(strictness::none));
  if (!reached)
    return failure::of_system(step::user_home, who.home, reached.error().error);
  if (reached->stopped != 0)
    return failure::of_system(step::user_home, who.home, reached->stopped);
  return std::nullopt;
}

// Groups first and the user id last: once the user id is hers, the process may no longer
// change its groups. All three ids of each kind change, so that no saved id leads back to root.
std::optional<failure> become(const account& who) {
  if (who.uid == 0)
    return std::nullopt;
  if (::initgroups(who.name.c_str(), who.gid) != 0)
    return failure::of_call(step::switch_user, who.name, "initgroups", errno);
  if (::setresgid(who.gid, who.gid, who.gid) != 0)
    return failure::of_call(step::switch_user, who.name, "setresgid", errno);
  // Fails with EAGAIN, for one, when she already runs as many processes as her limit allows.
  if (::setresuid(who.uid, who.uid, who.uid) != 0)
    return failure::of_call(step::switch_user, who.name, "setresuid", errno);
  // A process kept capable by the system's settings (securebits, say) would still be root in
  // all but name.
  if (!ids_are(who.uid, who.gid) || ::setresuid(0, 0, 0) == 0 ||
      (who.gid != 0 && ::setresgid(0, 0, 0) == 0))
    return failure::refusal(step::switch_user, who.name, cause::root_regained);
  // The kernel marks a process that changed its ids not dumpable only while fs.suid_dumpable is
  // 0; at 1 she could attach to it and read what it holds of root's (its environment, say).
  if (::prctl(PR_SET_DUMPABLE, 0) != 0)
    return failure::of_call(step::switch_user, who.name, "prctl", errno);
  return std::nullopt;
}

result<home_check> check_home(const std::vector<std::string>& below, bool reading) {
  home_check found;
  const char* home = std::getenv("HOME");
  if (home == nullptr)
    return found;
  if (*home == '\0') {
    found.home = failure::of_system(step::enter_home, home, ENOENT);
    return found;
  }
  result<walk_end> reached = walk(AT_FDCWD, home, owner_search(strictness::last));
  if (!reached) {
    found.home = failure::of_system(step::enter_home, home, reached.error().error);
    return found;
  }
  walk_end& end = *reached;
  const bool whole = !end.owner && end.stopped == 0;
  for (const std::string& folder : below) {
    if (!whole || end.owner)
      break;
    result<walk_end> on =
        walk(end.folder.get(), folder, owner_search(strictness::every), end.shown);
    if (!on)
      continue;
    end.owner = on->owner;
    if (end.shared.empty())
      end.shared = on->shared;
  }
  if (end.owner) {
    errno = 0;
    const passwd* entry = ::getpwuid(*end.owner);
    const int error = errno;
    if (entry == nullptr) {
      const std::string owner = std::to_string(*end.owner);
      if (not_found(error))
        return failure::refusal(step::owner_unknown, owner, cause::no_account);
      return failure::of_system(step::look_up_owner, owner, error);
    }
    found.verdict = home_check::user;
    found.owner = account_of(*entry);
    return found;
  }
  if (!end.shared.empty()) {
    return failure::refusal(reading ? step::read_refused : step::refused_for_root, end.shared,
                            cause::others_may_write);
  }
  if (whole)
    found.home = std::move(end.folder);
  else
    found.home = failure::of_system(step::enter_home, home, end.stopped);
  return found;
}

result<int> run_as(const account& who, int deadline_seconds, const std::function<int()>& body,
                   const std::function<int(const failure&)>& cannot_become) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0)
    return failure::of_system(step::start_child, {}, errno);
  if (pid == 0) {
    const std::optional<failure> refused = become(who);
    const int code = refused ? cannot_become(*refused) : body();
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
    if (done < 0 && errno != EINTR)
      return failure::of_system(step::wait_child, {}, errno);
    if (clock::now() >= deadline) {
      // Hers to stop, but not to keep root's caller waiting.
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return failure::timeout(step::child_timeout, who.name, deadline_seconds, cause::run_timeout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  return failure::refusal(step::child_killed, who.name, cause::killed,
                          WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
