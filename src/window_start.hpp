// What the window program does before any of GTK runs: reads the command line, runs a mode
// without the window, and started by root gives up root for the home's owner or refuses.
#pragma once

#include <optional>

// Reads the command line and runs what is no window; for the window, makes the process the home
// owner's. Nothing where the window is to start, else the exit status.
std::optional<int> before_the_window(int* argc, char*** argv);
