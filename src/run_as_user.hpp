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

#include "unique_fd.hpp"

// What a run needs of an account; copied, since the password database's own record is
// overwritten by the next lookup, which initgroups may make.
struct account {
  std::string name;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string home;
};

// Looks the user called `name` up in the password database. Nothing, with `error` the line that
// says why, when there is no such user or the database can't be read.
std::optional<account> find_user(const char* name, std::string& error);

// Makes the rest of the process run as `who`, for good: her supplementary groups, then her group,
// then her user id, each checked, and then checked that root can no longer be regained; the
// process is then marked not dumpable, so that she can't trace or dump what it kept of root's. A
// user with uid 0 stays root. False, with `error` the line that says why, when a step failed (the
// process may then hold some of her ids: the caller touches nothing more and exits).
bool become(const account& who, std::string& error);

// Whom root's run on $HOME is for, as check_home finds it.
struct home_check {
  enum { root, user, refused } verdict = root;
  account owner;      // user: the first owner other than root on the way
  unique_fd home;     // root: the home folder itself, opened once; closed when it can't be opened
  std::string error;  // refused: the line that says why
};

// For root only, before anything under $HOME is opened: walks from the file system's root to the
// home folder and on along each of `below` (folders relative to the home, as far as they exist),
// never through a link that root does not own. The run stays root's only when everything on the
// way is root's and no one else may write the home or any folder below it (above it, a sticky
// folder such as /tmp is fine, since no one else may replace root's entries there); it is the
// user's whose file or folder comes first on the way that root does not own; it is refused when
// others (a group, whatever group, or anyone) may write a root folder on the way and no user owns
// anything there to run as, or when that user has no entry in the password database. `reading`
// words the refusal for a run that only reads. An unset HOME, or one that can't be looked at,
// stays root's with no folder opened: the editor then reports it.
home_check check_home(const std::vector<std::string>& below, bool reading);

// Runs `body` in a child process that gives up root for `who` first, and gives its exit status.
// Root's process waits for no longer than `deadline_seconds`: she may stop her process, or hold
// her list's lock for ever; past the deadline the child is killed. The child's console lines
// pass through as they are; where the child can't become her, it gives `cannot_become` the line
// that says why and exits with what that returns. Nothing, with `error` the line that says why,
// when the child could not be started, was killed past the deadline, or ended by a signal.
std::optional<int> run_as(const account& who, int deadline_seconds,
                          const std::function<int()>& body,
                          const std::function<int(const std::string&)>& cannot_become,
                          std::string& error);
