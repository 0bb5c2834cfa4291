// What a run's record adds up to.
#include "report.hpp"

#include <algorithm>

bool succeeded(const run_report& run) {
  return !run.home_failed && std::none_of(run.lists.begin(), run.lists.end(),
                                          [](const list_record& l) { return l.failed; });
}

bool changed(const run_report& run) {
  return std::any_of(run.lists.begin(), run.lists.end(),
                     [](const list_record& l) { return l.changed; });
}

const failure* last_failure(const run_report& run) {
  if (run.home_failed)
    return &*run.home_failed;
  for (auto l = run.lists.rbegin(); l != run.lists.rend(); ++l) {
    if (l->failed)
      return &*l->failed;
  }
  return nullptr;
}

std::optional<addon_state> overall_state(const run_report& run) {
  if (run.home_failed)
    return std::nullopt;
  bool all = !run.lists.empty();
  bool any = false;
  for (const list_record& l : run.lists) {
    if (!l.after)
      return std::nullopt;
    all = all && *l.after == addon_state::enabled;
    any = any || *l.after != addon_state::absent;
  }
  return all ? addon_state::enabled : any ? addon_state::disabled : addon_state::absent;
}
