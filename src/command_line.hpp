// The program's own options, for runs without the window: what the command line asks for, and
// those runs themselves.
#pragma once

#include <optional>

// What one run of the program does.
enum class command {
  window,     // no option of ours: the window, as always
  install,    // --install
  uninstall,  // --uninstall
  status,     // --status
  version,    // --version
};

// Reads the program's options and GTK's from the command line, with GLib's option parser, and
// takes them out of it. A command line that asks for a run without the window and holds nothing
// else is read without touching GTK at all: such a run needs no display and no session bus.
// Handles --help, --help-all and --help-gtk itself: prints and ends the process with status 0.
// On a usage error (an unknown option, two modes, a stray argument to a mode) prints the error
// and a usage line on stderr and returns nothing; the caller exits with status 2.
std::optional<command> parse_command_line(int* argc, char*** argv);

// Runs a command other than `window` and gives the exit status: for install and uninstall 0 when
// the list is in the requested state, else 1; for status 0 when the add-on is registered and
// enabled, 3 when it is not, 1 when the list can't be read; for version 0.
int run_command(command what);
