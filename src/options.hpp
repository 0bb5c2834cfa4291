// The program's options, read with GLib's option parser beside GTK's own, or, for root, with GTK's
// set aside unread. GLib alone: the command that scripts run links no GTK.
#pragma once

#include <glib.h>

#include <optional>
#include <string>

// What one run of the program does.
enum class command {
  window,     // no option of ours: the window, as always
  install,    // --install
  uninstall,  // --uninstall
  status,     // --status
  list,       // --list
  version,    // -V, --version
  refused,    // our options as they can't go together: the usage error is printed, exit 2
};

// What the command line asks for.
struct options {
  command what = command::window;
  std::string chosen_by;            // the option that chose the mode, for usage errors
  std::optional<std::string> user;  // --user: root runs the mode for her
  bool json = false;                // --json
  bool create_folders = false;      // --create-folders
  bool quiet = false;               // -q, --quiet: failures alone, on stderr
};

// Gives the options when the command line holds one of the program's modes and nothing else: a
// run that needs neither the window nor GTK. Reads a copy; prints nothing, but for `refused`:
// our own options alone that can't go together (--json without a mode, --quiet without one of
// the four, --create-folders without --install, --user misused) or with words that are no options,
// whose usage error it prints. Gives nothing for any other command line (no option of ours, GTK's
// or unknown options,
// --help, other usage errors), which parse_command_line then reads in full.
std::optional<options> read_mode_alone(char** argv);

// Root's reading of the command line, before anything of GTK's is loaded or parsed: our options
// by the one table, and GTK's own (--display, --class, --name, --gtk-module, --g-fatal-warnings)
// taken with their values and set aside, from a copy. --help and --help-all print our options'
// help and end the process with status 0. Gives nothing after printing a usage error, as
// parse_command_line does; the window's command line then goes to parse_command_line in full
// once root has been given up.
std::optional<options> read_without_toolkit(char** argv);

// Reads the program's options and the toolkit's from the command line and takes them out of it.
// `toolkit_options` gives the toolkit's option group (GTK's); it is asked for only when the
// command line holds more than a mode alone, so such a run never touches GTK. Handles --help,
// --help-all and --help-gtk itself: prints and ends the process with status 0. On a usage error
// (an unknown option, two modes, a stray argument to a mode, --user without --install,
// --uninstall, --status or --list, or from anyone but root) prints the error and a usage line on
// stderr and gives nothing; the caller exits with status 2. A word that is no option is a usage
// error too, with or without a mode.
std::optional<options> parse_command_line(int* argc, char*** argv,
                                          GOptionGroup* (*toolkit_options)());
