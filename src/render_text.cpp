// Renders a run's record as the console lines of each mode.
#include "render_text.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>

#include "addon_list.hpp"
#include "printable.hpp"
#include "texts.hpp"

namespace {

// Where the lines go, one at a time; stdout's lines are not even made where only stderr's go.
struct lines {
  const std::function<void(const console_line&)>& to;
  bool errors_only;
  bool wanted() const { return !errors_only; }
  void out(std::string_view text, std::string_view value = {}) {
    if (wanted())
      to({false, std::string(text) + printable(value)});
  }
  void row(std::string text) {
    if (wanted())
      to({false, std::move(text)});
  }
  void err(const failure& f) { to({true, failure_line(f)}); }
};

void edit_lines(const list_record& l, lines& to) {
  if (!l.sandbox.empty())
    to.out(texts::sandbox_line, l.path);
  if (l.folders_made)
    to.out(texts::folders_made, list_folder());
  switch (l.did) {
    case action::created:
      if (l.changed)
        to.out(texts::created, l.path);
      break;
    case action::kept:
      to.out(texts::kept);
      break;
    case action::removed:
      to.out(texts::removing);
      break;
    case action::added:
      if (l.changed)
        to.out(texts::added);
      break;
    case action::none:
      break;
  }
  if (l.failed)
    to.err(*l.failed);
}

void status_lines(const list_record& l, lines& to) {
  if (l.failed)
    return to.err(*l.failed);
  const std::string_view state = texts::state_text(l.after.value_or(addon_state::absent));
  if (l.sandbox.empty())
    to.out(std::string(texts::status_line) + std::string(state));
  else
    to.out(texts::sandbox_line, l.path + "：" + std::string(state));
}

// How many columns a terminal gives `text`: two for each wide East Asian character, one for any
// other character.
std::size_t display_width(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::size_t length = byte < 0x80 ? 1 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
    char32_t code = length == 1 ? byte : byte & (0x7F >> length);
    for (std::size_t j = 1; j < length && i + j < text.size(); ++j)
      code = (code << 6) | (static_cast<unsigned char>(text[i + j]) & 0x3F);
    const bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
                      (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
                      (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
                      (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x20000 && code <= 0x3FFFD);
    width += wide ? 2 : 1;
    i += length;
  }
  return width;
}

// An add-on's columns as printed, the mark first.
std::array<std::string, 6> columns_of(const list_reader::listed_entry& e) {
  return {e.quillora ? "* " : "  ",
          printable(e.name),
          std::string(e.online ? texts::online : texts::offline),
          printable(e.type),
          std::string(e.enabled ? texts::enabled : texts::disabled),
          printable(e.url)};
}

// One line an add-on: the add-on's own entry marked with '*', then its name, online or offline,
// type, enabled or not, and address, in columns that line up however wide their characters are,
// as far as max_column_width. Each line is made as it goes out: a list's lines are never all held.
void list_lines(const list_record& l, lines& to) {
  if (!l.sandbox.empty())
    to.out(texts::sandbox_line, l.path);
  if (l.failed)
    return to.err(*l.failed);
  if (!to.wanted())
    return;
  if (l.addons.empty())
    to.out(texts::no_addons);
  std::array<std::size_t, 5> widths{};
  for (const list_reader::listed_entry& e : l.addons) {
    const std::array<std::string, 6> row = columns_of(e);
    for (std::size_t c = 1; c < 5; ++c)
      widths[c] = std::max(widths[c], std::min(display_width(row[c]), max_column_width));
  }
  for (const list_reader::listed_entry& e : l.addons) {
    const std::array<std::string, 6> row = columns_of(e);
    std::string line = row[0];
    for (std::size_t c = 1; c < 5; ++c) {
      const std::size_t width = display_width(row[c]);
      line += row[c] + std::string(width < widths[c] ? widths[c] - width + 2 : 2, ' ');
    }
    to.row(line + row[5]);
  }
}

}  // namespace

void render_console(const run_report& run, const std::function<void(const console_line&)>& sink,
                    bool errors_only) {
  lines to{sink, errors_only};
  const bool edit = run.what == mode::install || run.what == mode::uninstall;
  if (edit && run.home)
    to.out(texts::home_line, *run.home);
  if (run.home_failed)
    return to.err(*run.home_failed);
  if (edit && run.cwd_failed)
    to.err(*run.cwd_failed);
  else if (edit)
    to.out(texts::cwd_line, run.cwd);
  for (const list_record& l : run.lists) {
    if (edit)
      edit_lines(l, to);
    else if (run.what == mode::status)
      status_lines(l, to);
    else
      list_lines(l, to);
  }
}

std::vector<console_line> console_lines(const run_report& run) {
  std::vector<console_line> all;
  render_console(run, [&all](const console_line& line) { all.push_back(line); });
  return all;
}

int print_console(const run_report& run, bool errors_only) {
  int lost = 0;
  render_console(
      run,
      [&lost](const console_line& line) {
        const int error = print_line(line.error, line.text);
        if (!line.error && lost == 0)
          lost = error;
      },
      errors_only);
  return lost;
}

int print_line(bool error, const std::string& text) {
  std::FILE* stream = error ? stderr : stdout;
  const std::string line = text + "\n";
  errno = 0;
  if (std::fwrite(line.data(), 1, line.size(), stream) == line.size() && std::fflush(stream) == 0)
    return 0;
  return errno != 0 ? errno : EIO;
}

int print_lines(const std::vector<console_line>& lines) {
  int lost = 0;
  for (const console_line& line : lines) {
    const int error = print_line(line.error, line.text);
    if (!line.error && lost == 0)
      lost = error;
  }
  return lost;
}

int exit_status(const run_report& run) {
  if (!succeeded(run))
    return 1;
  if (run.what != mode::status)
    return 0;
  return overall_state(run) == addon_state::enabled ? 0 : 3;
}
