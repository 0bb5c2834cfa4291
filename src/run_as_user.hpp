// Gives up root before a run touches a user's files: root that follows a user's links would
// create, hand over or read files wherever she points them, so a run on her behalf runs as her,
// in a process of her own that root waits for no longer than a run may take.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "failure.hpp"
#include "unique_fd.hpp"

// What a run needs of an account; copied, since the password database's own record is
// overwritten by the next lookup, which initgroups may make.
struct account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
};

// Looks the user called `name` up in the password database; a failure when there is no such user
// (step::no_such_user) or the database can't be read (step::look_up_user).
result<account> find_user(const char* name);

// For root, before a run for `who`: her home folder is there, reached without following a link
// that root does not own; a failure (step::user_home) naming the home and why where it is not.
std::optional<failure> check_user_home(const account& who);

// Makes the rest of the process run as `who`, for good: her supplementary groups, then her group,
// then her user id, each checked, and then checked that root can no longer be regained; the
// process is then marked not dumpable, so that she can't trace or dump what it kept of root's. A
// user with uid 0 stays root. A failure (step::switch_user) when a step failed (the process may
// then hold some of her ids: the caller touches nothing more and exits).
std::optional<failure> become(const account& who);

// Whom root's run on $HOME is for, as check_home finds it.
struct home_check {
  enum { root, user } verdict = root;
  account owner;  // user: the first owner other than root on the way
  // root: the home folder itself, opened once, or why the walk could not open it (at
  // step::enter_home, which the editor reports as for any run); nothing where HOME is unset
  std::optional<result<unique_fd>> home;
};

// For root only, before anything under $HOME is opened: walks from the file system's root to the
// home folder and on along each of `below` (folders relative to the home, as far as they exist),
// never through a link that root does not own. The run stays root's only when everything on the
// way is root's and no one else may write the home or any folder below it (above it, a sticky
// folder such as /tmp is fine, since no one else may replace root's entries); it is the user's
// whose file or folder comes first on the way that root does not own. A failure where others (a
// group, whatever group, or anyone) may write a root folder on the way and no user owns anything
// there to run as (step::refused_for_root, or step::read_refused where `reading`), or where that
// user has no entry in the password database. An unset HOME, or one that can't be looked at,
// stays root's with no folder opened: the editor then reports it.
result<home_check> check_home(const std::vector<std::string>& below, bool reading);

// Runs `body` in a child process that gives up root for `who` first, and gives its exit status.
// Root's process waits for no longer than `deadline_seconds`: she may stop her process, or hold
// her list's lock for ever; past the deadline the child is killed. The child's console lines
// pass through as they are; where the child can't become her, it gives `cannot_become` the
// failure and exits with what that returns. A failure when the child could not be started or
// waited for, was killed past the deadline, or ended by a signal.
result<int> run_as(const account& who, int deadline_seconds, const std::function<int()>& body,
                   const std::function<int(const failure&)>& cannot_become);
