// The stable word for each failure that --json gives beside its sentence, for scripts to branch
// on; the sentences may change, these words do not.
#pragma once

#include <string_view>

#include "failure.hpp"

// One lower-case ASCII word for the cause of `f`, as the program tells causes apart: the list's
// own faults by their kind, the program's refusals by theirs, and the system's errors by what
// they mean for the one who runs it (no_folder, permission, read_only, no_space, …); "system" for
// a system error none of these name. docs/admin.md and the manual list them; a word once given
// keeps its meaning.
std::string_view code_of(const failure& f);

// The code of a usage error (exit status 2), which is no failure of a run.
inline constexpr std::string_view usage_code = "usage";
