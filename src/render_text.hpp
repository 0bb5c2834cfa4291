// A run's record as console lines: progress on stdout, failures on stderr, as people read them.
#pragma once

#include <string>
#include <vector>

#include "report.hpp"

struct console_line {
  bool error = false;  // on stderr
  std::string text;    // without its newline
};

// The lines that tell what the run found and did, in order.
std::vector<console_line> console_lines(const run_report& run);

// Prints each line with its newline on its stream, flushed at once.
void print_lines(const std::vector<console_line>& lines);
void print_line(bool error, const std::string& text);

// The run's exit status: install, uninstall and --list 0 when every list is as asked, else 1;
// --status 1 when any list can't be read, else 0 when the add-on is enabled in every list and 3
// when it is not.
int exit_status(const run_report& run);
