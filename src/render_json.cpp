// Renders a run's record as JSON with nlohmann's header-only library, so the command loads no
// library for it.
#include "render_json.hpp"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "addon_list.hpp"
#include "failure_code.hpp"
#include "printable.hpp"
#include "texts.hpp"

namespace {

using json = nlohmann::ordered_json;

const char* name_of(mode what) {
  switch (what) {
    case mode::install:
      return "install";
    case mode::uninstall:
      return "uninstall";
    case mode::status:
      return "status";
    case mode::list:
      break;
  }
  return "list";
}

const char* name_of(addon_state state) {
  switch (state) {
    case addon_state::enabled:
      return "enabled";
    case addon_state::disabled:
      return "disabled";
    case addon_state::absent:
      break;
  }
  return "absent";
}

json addons_of(const std::vector<list_reader::listed_entry>& entries) {
  json addons = json::array();
  for (const list_reader::listed_entry& e : entries) {
    addons.push_back({{"name", e.name},
                      {"online", e.online},
                      {"type", e.type},
                      {"enabled", e.enabled},
                      {"url", e.url},
                      {"quillora", e.quillora}});
  }
  return addons;
}

json list_object(const list_record& l, mode what) {
  json object{{"list", l.path}, {"changed", l.changed}};
  if (l.after)
    object["state"] = name_of(*l.after);
  if (l.failed) {
    object["error"] = failure_line(*l.failed);
    object["code"] = std::string(code_of(*l.failed));
  }
  if (what == mode::list && !l.failed)
    object["addons"] = addons_of(l.addons);
  return object;
}

// The dumped JSON with the characters that printable writes as \u escapes (C1 and bidirectional
// controls, line and paragraph separators) written as JSON's own escapes of them: the same values
// for a script, nothing a terminal obeys for a person. Outside strings JSON is ASCII, so every
// such character stands in a string. A byte that is no UTF-8 (a name in a damaged list) is
// written as U+FFFD rather than ending the run.
std::string dump(const json& object) {
  const std::string dumped = object.dump(-1, ' ', false, json::error_handler_t::replace);
  std::string safe;
  safe.reserve(dumped.size());
  const std::string_view text(dumped);
  for (std::size_t i = 0; i < text.size();) {
    if (const char32_t code = hidden_character(text.substr(i))) {
      char escape[16];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
      safe += escape;
      i += code < 0x800 ? 2 : 3;
    } else {
      safe += text[i++];
    }
  }
  return safe;
}

}  // namespace

std::string render_json(const run_report& run) {
  json object{{"action", name_of(run.what)}, {"changed", changed(run)}};
  if (const std::optional<addon_state> state = overall_state(run))
    object["state"] = name_of(*state);
  // The home's own list where the run came to it, else the first list it did: never one that the
  // run did not concern, as a home with a sandboxed copy's list alone has. None where it saw none.
  for (const list_record& l : run.lists) {
    if (l.sandbox.empty() && l.path == list_path) {
      object["list"] = l.path;
      break;
    }
  }
  if (!object.contains("list") && !run.lists.empty())
    object["list"] = run.lists.front().path;
  if (run.what == mode::list) {
    json own = json::array();
    for (const list_record& l : run.lists) {
      if (l.sandbox.empty() && l.path == list_path && !l.failed)
        own = addons_of(l.addons);
    }
    object["addons"] = std::move(own);
  }
  if (const failure* f = last_failure(run)) {
    object["error"] = failure_line_for_scripts(*f);
    object["code"] = std::string(code_of(*f));
  }
  // Always, so that scripts read one shape whatever lists a home has.
  json lists = json::array();
  for (const list_record& l : run.lists)
    lists.push_back(list_object(l, run.what));
  object["lists"] = std::move(lists);
  return dump(object);
}

std::string render_json_version(const std::string& version, const std::string& origin) {
  return dump({{"action", "version"}, {"version", version}, {"origin", origin}});
}
