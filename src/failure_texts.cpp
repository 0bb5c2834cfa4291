// Fills a failure's notice sentence with the list and the line it concerns.
#include "failure_texts.hpp"

#include "printable.hpp"

std::string notice_text(failure_kind kind, std::string_view list, std::uint64_t line,
                        std::string_view console_line) {
  for (const failure_text& text : failure_texts) {
    if (text.kind != kind)
      continue;
    std::string sentence(text.notice);
    const auto fill = [&sentence](std::string_view mark, const std::string& value) {
      const std::size_t at = sentence.find(mark);
      if (at != std::string::npos)
        sentence.replace(at, mark.size(), value);
    };
    fill("{list}", " " + printable(list) + " ");
    fill("{line}", std::to_string(line));
    return sentence;
  }
  return std::string(console_line);
}
