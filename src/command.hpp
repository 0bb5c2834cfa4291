// Runs a command other than the window: the modes on the console, for people and scripts, and
// for root on behalf of a user.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "options.hpp"
#include "report.hpp"

// The folders under the home, relative to it, that root's walk checks before a run: the home's
// own list folder and where sandboxes keep their apps' homes.
std::vector<std::string> folders_to_check();

// Runs `chosen` (not the window) and gives the exit status: 0, 1 or 3 as exit_status tells for
// the modes; 0 for --version; 2 for `refused`; 1 wherever stdout did not take all that the run
// wrote there (a full disk, a closed stdout), which a line on stderr then says. With --json, one
// JSON object on stdout instead of the console lines, with the same exit status. As root, the mode
// first gives up root for good, in a child that root waits for: for the user that --user names
// (HOME then her home folder), else for the owner that root's walk to $HOME finds; it stays root
// only where all on the way is root's alone, and is refused (status 1) where others may write there
// and no one owns it.
int run_command(const options& chosen);
