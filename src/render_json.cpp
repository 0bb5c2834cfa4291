// Renders a run's record as JSON with nlohmann's header-only library, so the command loads no
// library for it.
#include "render_json.hpp"

#include <cerrno>
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

// Writes the object member by member and each add-on as it comes, so that no more than one
// add-on's text is held at a time, however many a list registers.
class writer {
 public:
  explicit writer(const std::function<void(std::string_view)>& out) : out_(out) {}

  void open() {
    out_("{");
    first_ = true;
  }
  void close() {
    out_("}");
    first_ = false;
  }
  void member(std::string_view key, const json& value) {
    name(key);
    out_(dump(value));
  }
  // A list's fault at a line, as numbers beside the error's words: the line where the reader
  // found it, and where the faulty markup began when that is earlier.
  void fault_lines(const failure& f) {
    if (f.why != cause::list_problem || f.line == 0)
      return;
    member("line", f.line);
    if (f.begins_line != 0)
      member("begins_line", f.begins_line);
  }
  void name(std::string_view key) {
    if (!first_)
      out_(",");
    first_ = false;
    out_(dump(json(std::string(key))));
    out_(":");
  }
  void addons(const std::vector<list_reader::listed_entry>& entries) {
    out_("[");
    bool first = true;
    for (const list_reader::listed_entry& e : entries) {
      if (!first)
        out_(",");
      first = false;
      out_(dump(json{{"name", e.name},
                     {"online", e.online},
                     {"type", e.type},
                     {"enabled", e.enabled},
                     {"url", e.url},
                     {"quillora", e.quillora}}));
    }
    out_("]");
  }
  void list_object(const list_record& l, mode what) {
    open();
    member("list", l.path);
    member("changed", l.changed);
    if (l.after)
      member("state", name_of(*l.after));
    if (l.failed) {
      member("error", failure_line(*l.failed));
      member("code", std::string(code_of(*l.failed)));
      fault_lines(*l.failed);
    }
    if (what == mode::list && !l.failed) {
      name("addons");
      addons(l.addons);
    }
    close();
  }

 private:
  const std::function<void(std::string_view)>& out_;
  bool first_ = true;
};

}  // namespace

void render_json(const run_report& run, const std::function<void(std::string_view)>& out) {
  writer to(out);
  to.open();
  to.member("action", name_of(run.what));
  to.member("changed", changed(run));
  if (const std::optional<addon_state> state = overall_state(run))
    to.member("state", name_of(*state));
  // The home's own list where the run came to it, else the first list it did: never one that the
  // run did not concern, as a home with a sandboxed copy's list alone has. None where it saw none.
  const list_record* named = run.lists.empty() ? nullptr : &run.lists.front();
  for (const list_record& l : run.lists) {
    if (l.sandbox.empty() && l.path == list_path) {
      named = &l;
      break;
    }
  }
  if (named != nullptr)
    to.member("list", named->path);
  if (run.what == mode::list) {
    const list_record* own = nullptr;
    for (const list_record& l : run.lists) {
      if (l.sandbox.empty() && l.path == list_path && !l.failed)
        own = &l;
    }
    to.name("addons");
    static const std::vector<list_reader::listed_entry> none;
    to.addons(own != nullptr ? own->addons : none);  // both lvalues: no copy of the entries
  }
  if (const failure* f = last_failure(run)) {
    to.member("error", failure_line_for_scripts(*f));
    to.member("code", std::string(code_of(*f)));
    to.fault_lines(*f);
  }
  // Always, so that scripts read one shape whatever lists a home has.
  to.name("lists");
  out("[");
  for (std::size_t i = 0; i < run.lists.size(); ++i) {
    if (i > 0)
      out(",");
    to.list_object(run.lists[i], run.what);
  }
  out("]");
  to.close();
}

std::string render_json(const run_report& run) {
  std::string object;
  render_json(run, [&object](std::string_view piece) { object += piece; });
  return object;
}

int print_json(const run_report& run) {
  int lost = 0;
  const auto write = [&lost](std::string_view piece) {
    errno = 0;
    if (std::fwrite(piece.data(), 1, piece.size(), stdout) != piece.size() && lost == 0)
      lost = errno != 0 ? errno : EIO;
  };
  render_json(run, write);
  write("\n");
  errno = 0;
  if (std::fflush(stdout) != 0 && lost == 0)
    lost = errno != 0 ? errno : EIO;
  return lost;
}

std::string render_json_version(const std::string& version, const std::string& origin) {
  return dump({{"action", "version"}, {"version", version}, {"origin", origin}});
}
