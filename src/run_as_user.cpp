// Gives up root for the user whose files a run edits, for good, before it opens any of them.
#include "run_as_user.hpp"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// What a run needs of an account; copied, since the password database's own record is
// overwritten by the next lookup, which initgroups may make.
struct account {
  std::string name;
  uid_t uid;
  gid_t gid;
  std::string home;
};

account account_of(const passwd& entry) {
  return {entry.pw_name, entry.pw_uid, entry.pw_gid, entry.pw_dir};
}

std::string last_failure;

void say_error(const std::string& text) {
  last_failure = text;
  const std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

bool cannot_switch(const account& who, const std::string& why) {
  say_error("无法切换到用户：" + who.name + "：" + why);
  return false;
}

bool step_failed(const account& who, const char* step) {
  return cannot_switch(who, std::string(step) + "：" + std::strerror(errno));
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

// Groups first and the user id last: once the user id is hers, the process may no longer
// change its groups. All three ids of each kind change, so that no saved id leads back to root.
bool drop_to(const account& who) {
  if (who.uid == 0)
    return true;
  if (::initgroups(who.name.c_str(), who.gid) != 0)
    return step_failed(who, "initgroups");
  if (::setresgid(who.gid, who.gid, who.gid) != 0)
    return step_failed(who, "setresgid");
  // Fails with EAGAIN, for one, when she already runs as many processes as her limit allows.
  if (::setresuid(who.uid, who.uid, who.uid) != 0)
    return step_failed(who, "setresuid");
  // A process kept capable by the system's settings (securebits, say) would still be root in
  // all but name.
  if (!ids_are(who.uid, who.gid) || ::setresuid(0, 0, 0) == 0 ||
      (who.gid != 0 && ::setresgid(0, 0, 0) == 0))
    return cannot_switch(who, "仍能恢复root权限");
  return true;
}

}  // namespace

bool become_user(const char* name) {
  errno = 0;
  const passwd* entry = ::getpwnam(name);
  if (entry == nullptr) {
    if (not_found(errno))
      say_error(std::string("找不到用户：") + name);
    else
      say_error(std::string("无法查找用户：") + name + "：" + std::strerror(errno));
    return false;
  }
  const account who = account_of(*entry);
  // The editor finds the list under HOME; it must be hers, whatever the caller's HOME was.
  if (::setenv("HOME", who.home.c_str(), 1) != 0)
    return step_failed(who, "setenv HOME");
  return drop_to(who);
}

bool become_home_owner() {
  const char* home = std::getenv("HOME");
  if (::geteuid() != 0 || home == nullptr || *home == '\0')
    return true;
  struct stat st;
  if (::lstat(home, &st) != 0)
    return true;
  // A link that a user made points wherever she likes; a link that root made points at the
  // folder that counts.
  if (S_ISLNK(st.st_mode) && st.st_uid == 0 && ::stat(home, &st) != 0)
    return true;
  if (st.st_uid == 0)
    return true;
  errno = 0;
  const passwd* entry = ::getpwuid(st.st_uid);
  if (entry == nullptr) {
    const std::string owner = std::to_string(st.st_uid);
    if (not_found(errno))
      say_error("无法切换到用户主目录的所有者：" + owner + "：用户数据库中没有该用户");
    else
      say_error("无法查找用户主目录的所有者：" + owner + "：" + std::strerror(errno));
    return false;
  }
  return drop_to(account_of(*entry));
}

const std::string& run_as_user_failure() {
  return last_failure;
}
