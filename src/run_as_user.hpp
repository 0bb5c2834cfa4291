// Gives up root before a run touches a user's files: root that follows a user's links would
// create, hand over or read files wherever she points them, so a run on her behalf runs as her.
#pragma once

#include <string>

// Makes the rest of the process run as the user called `name`, for good, with HOME set to her
// home folder from the password database: her supplementary groups, then her group, then her
// user id, each checked, and then checked that root can no longer be regained. For root only
// (the caller refuses --user to anyone else); call it before anything under that home is
// opened. A user with uid 0 stays root, with HOME set. Returns false after one line on stderr
// when there is no such user (the process is then unchanged) or when a step failed (it may
// then hold some of her ids: the caller touches nothing more and exits).
bool become_user(const char* name);

// When the process runs as root and $HOME belongs to another user, makes the rest of the process
// run as that user, for good, as become_user does; HOME stays as it is. The owner is that of
// the home folder itself, or of the link that HOME names when a user other than root owns the
// link (she chooses where it points). Root's own home, a process not run as root, and a HOME
// that is unset or can't be looked at leave the process as it is (the editor then reports what
// it finds). Returns false after one line on stderr when giving up root failed, or when the
// owner has no entry in the password database: without one there are no groups to take, and
// the folder's group may be one the owner never had, so the run is refused and nothing touched.
bool become_home_owner();

// The text of the last line that become_user or become_home_owner printed, for callers that
// report failures themselves; empty when there was none.
const std::string& run_as_user_failure();
