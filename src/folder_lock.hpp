// The lock that two copies of the program take turns by: on the list's folder, which a rename of
// the list leaves in place, held while one copy edits and for no longer.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "failure.hpp"

// How long a run waits for another copy to finish with a list, in whole seconds: 30, or
// QUILLORA_LOCK_TIMEOUT's value (0 to 3600), which tests lower.
int lock_wait_seconds();

// Takes the lock on the open folder `fd`, named `shown` in failure lines. Another copy holds it
// only while it edits; a copy that hangs must not hang this one: past a second `waiting(true)`
// is called, and `waiting(false)` once the lock is had or the run gives up, past
// lock_wait_seconds. The lock lasts as long as `fd` is open.
std::optional<failure> lock_folder(int fd, const std::string& shown,
                                   const std::function<void(bool)>& waiting);
