// The program's own options, for runs without the window: what the command line asks for, and
// those runs themselves. GLib alone: the command that scripts run links no GTK.
#pragma once

#include <glib.h>

#include <optional>

// What one run of the program does.
enum class command {
  window,     // no option of ours: the window, as always
  install,    // --install
  uninstall,  // --uninstall
  status,     // --status
  list,       // --list
  version,    // --version
  refused,    // our options as they can't go together: the usage error is printed, exit 2
};

// Gives the mode when the command line holds one of the program's modes and nothing else: a run
// that needs neither the window nor GTK. Reads a copy; prints nothing, but for `refused`: our own
// options alone that can't go together (--json without a mode, --create-folders without
// --install, --user misused), whose usage error it prints. Gives nothing for any other command
// line (no mode, GTK's or unknown options, --help, stray words, other usage errors), which
// parse_command_line then reads in full.
std::optional<command> read_mode_alone(char** argv);

// Reads the program's options and the toolkit's from the command line, with GLib's option parser,
// and takes them out of it. `toolkit_options` gives the toolkit's option group (GTK's); it is
// asked for only when the command line holds more than a mode alone, so such a run never touches
// GTK: it needs no display and no session bus. Handles --help, --help-all and --help-gtk itself:
// prints and ends the process with status 0. On a usage error (an unknown option, two modes, a
// stray argument to a mode, --user without --install, --uninstall or --status, or from anyone but
// root) prints the error and a usage line on stderr and returns nothing; the caller exits with
// status 2.
std::optional<command> parse_command_line(int* argc, char*** argv,
                                          GOptionGroup* (*toolkit_options)());

// Runs a command other than `window` and gives the exit status: for install and uninstall 0 when
// the list is in the requested state, else 1; for status 0 when the add-on is registered and
// enabled, 3 when it is not, 1 when the list can't be read; for list 0, or 1 when the list can't
// be read; for version 0. With --json, one JSON object on stdout instead of the console lines,
// with the same exit status. Install, uninstall
// and status first give up root for good: for the user that --user named in the command line
// read last (HOME then her home folder), else for the owner of $HOME (see run_as_user.hpp); 1
// when that fails, with nothing touched.
int run_command(command what);
