// A run's record as the one JSON object that --json prints, for scripts.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "report.hpp"

// The object, on one line without its newline: `action`, `changed` (some list changed, in a
// failed run too), `state` over every list where each is known, `list` (the home's own list's
// path where the run came to it, else the first list's; none where it saw none), `addons`
// (--list: the home's own list's), `error` (the last failure line) and `code` (its stable word)
// where the run failed, and `lists`, always, one object for each list (`list`, `changed`, `state`
// where known, `error` and `code`, `addons`). No member is ever null. Passes it to `out` piece
// by piece as it is made, member by member and add-on by add-on.
void render_json(const run_report& run, const std::function<void(std::string_view)>& out);
// The same object, collected.
std::string render_json(const run_report& run);
// Writes it on stdout as it is made, with its newline, and flushes. Gives the system's error of
// the first piece that stdout did not take whole (EIO where it named none), else 0.
int print_json(const run_report& run);

// The object of --version.
std::string render_json_version(const std::string& version, const std::string& origin);
