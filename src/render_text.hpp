// A run's record as console lines: progress on stdout, failures on stderr, as people read them.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "report.hpp"

struct console_line {
  bool error = false;  // on stderr
  std::string text;    // without its newline
};

// --list lines its columns up to this many columns of a terminal; a longer value goes on
// unpadded, so that one very wide entry widens its own line alone.
inline constexpr std::size_t max_column_width = 40;

// Passes each line that tells what the run found and did to `to`, in order, one at a time as it
// is made; with `errors_only`, only the lines for stderr are made (--json's stdout holds the
// object alone).
void render_console(const run_report& run, const std::function<void(const console_line&)>& to,
                    bool errors_only = false);
// The same lines, collected.
std::vector<console_line> console_lines(const run_report& run);
// Prints them as they are made, each flushed at once. Gives the system's error of the first line
// that stdout did not take whole (0: none), as print_line does.
int print_console(const run_report& run, bool errors_only = false);

// Prints each line with its newline on its stream (stderr where `error`), flushed at once. Gives
// the system's error, taken at once, where the stream did not take the line whole (EIO where the
// system named none), else 0: a caller that answers for stdout keeps the first.
int print_lines(const std::vector<console_line>& lines);
int print_line(bool error, const std::string& text);

// The run's exit status: install, uninstall and --list 0 when every list is as asked, else 1;
// --status 1 when any list can't be read, else 0 when the add-on is enabled in every list and 3
// when it is not.
int exit_status(const run_report& run);
