#include "render/text_layout.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace kav {

int display_length(std::string_view text) {
  int n = 0;
  for (char c : text)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

std::string spaces(int count) {
  return std::string(static_cast<std::size_t>(std::max(count, 0)), ' ');
}

std::string centred(const std::string& text, int width) {
  int room = width - display_length(text);
  if (room <= 0) return text;
  return spaces(room / 2) + text;
}

std::vector<std::string> wrap_words(const std::string& text, int width) {
  std::vector<std::string> lines;
  std::string line;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t start = text.find_first_not_of(' ', at);
    if (start == std::string::npos) break;
    std::size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(start, end - start);
    at = end;
    if (line.empty()) {
      line = word;
    } else if (display_length(line) + 1 + display_length(word) <= width) {
      line += " " + word;
    } else {
      lines.push_back(line);
      line = word;
    }
  }
  if (!line.empty() || lines.empty()) lines.push_back(line);
  return lines;
}

int longest_word(const std::string& text) {
  int longest = 0, current = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ' ') {
      longest = std::max(longest, current);
      current = 0;
    } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      ++current;
    }
  }
  return longest;
}

std::string valid_utf8(std::string_view text) {
  if (std::all_of(text.begin(), text.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    return std::string(text);
  // The JSON writer's own replacement, so that a report and the JSON results
  // of one run show a byte that is not UTF-8 the same way.
  const std::string quoted = nlohmann::json(std::string(text))
                                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return nlohmann::json::parse(quoted).get<std::string>();
}

std::string html_escape(std::string_view raw) {
  const std::string text = valid_utf8(raw);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace kav
