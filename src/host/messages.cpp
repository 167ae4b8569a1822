#include "host/messages.h"

#include <algorithm>
#include <span>

namespace kav {

// Each message family keeps its table in a file of its own.
std::span<const MessageDef> host_messages();
std::span<const MessageDef> procedure_messages();

const std::vector<MessageDef>& message_catalogue() {
  static const std::vector<MessageDef> all = [] {
    std::vector<MessageDef> v;
    for (auto part : {host_messages(), procedure_messages()}) v.insert(v.end(), part.begin(), part.end());
    std::sort(v.begin(), v.end(), [](const MessageDef& a, const MessageDef& b) {
      return a.group != b.group ? a.group < b.group : a.number < b.number;
    });
    return v;
  }();
  return all;
}

const MessageDef* find_message(int group, int number) {
  const auto& all = message_catalogue();
  auto it = std::lower_bound(all.begin(), all.end(), std::pair(group, number),
                             [](const MessageDef& m, const std::pair<int, int>& key) {
                               return m.group != key.first ? m.group < key.first
                                                           : m.number < key.second;
                             });
  if (it == all.end() || it->group != group || it->number != number) return nullptr;
  return &*it;
}

bool message_known(int group, int number) { return find_message(group, number) != nullptr; }

std::string format_message(int group, int number, const std::vector<std::string>& args,
                           Severity* severity_out) {
  const MessageDef* def = find_message(group, number);
  if (!def) {
    if (severity_out) *severity_out = Severity::Error;
    std::string s = "Message " + std::to_string(number) + " of group " + std::to_string(group) +
                    " is missing from the message catalogue";
    if (!args.empty()) {
      s += " (arguments:";
      for (const auto& a : args) s += " " + a;
      s += ")";
    }
    return s + ".";
  }
  if (severity_out) *severity_out = def->severity;
  return fill_inserts(def->text, args);
}

std::string fill_inserts(const char* text, const std::vector<std::string>& args) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
      std::size_t k = static_cast<std::size_t>(p[1] - '1');
      if (k < args.size()) out += args[k];
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

}  // namespace kav
