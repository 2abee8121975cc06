#include "flatpak_override.h"

#include <optional>
#include <vector>

namespace karvo::reg {
namespace {

constexpr std::string_view kGroup = "[Context]";
constexpr std::string_view kKey = "filesystems";

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    lines.emplace_back(text.substr(0, nl));
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
  }
  return lines;
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

bool is_group_header(std::string_view line) { return trim(line).starts_with('['); }

// The value of a "filesystems=" line of the group, or nothing for any other line.
std::optional<std::string_view> key_value(std::string_view line) {
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos || trim(line.substr(0, eq)) != kKey) return std::nullopt;
  return trim(line.substr(eq + 1));
}

// The list's entries; a ";" escaped with a backslash belongs to the entry.
std::vector<std::string> entries(std::string_view value) {
  std::vector<std::string> out;
  std::string cur;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      cur += value[i];
      cur += value[++i];
    } else if (value[i] == ';') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur += value[i];
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

std::string list_line(const std::vector<std::string>& items) {
  std::string line(kKey);
  line += '=';
  for (const std::string& i : items) line += i + ";";
  return line;
}

struct Where {
  std::size_t group = std::string::npos;  // the line of the [Context] header
  std::size_t end = 0;                    // the first line after the group
  std::size_t key = std::string::npos;    // the line of its "filesystems" key
};

Where find(const std::vector<std::string>& lines) {
  Where w;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!is_group_header(lines[i])) continue;
    if (trim(lines[i]) == kGroup) {
      w.group = i;
      break;
    }
  }
  if (w.group == std::string::npos) return w;
  w.end = w.group + 1;
  while (w.end < lines.size() && !is_group_header(lines[w.end])) {
    if (w.key == std::string::npos && key_value(lines[w.end])) w.key = w.end;
    ++w.end;
  }
  return w;
}

}  // namespace

bool override_grants(std::string_view text, std::string_view entry) {
  const std::vector<std::string> lines = split_lines(text);
  const Where w = find(lines);
  if (w.key == std::string::npos) return false;
  for (const std::string& e : entries(*key_value(lines[w.key]))) {
    if (e == entry) return true;
  }
  return false;
}

std::string override_with(std::string_view text, std::string_view entry) {
  if (override_grants(text, entry)) return std::string(text);
  std::vector<std::string> lines = split_lines(text);
  const Where w = find(lines);
  if (w.group == std::string::npos) {
    if (!lines.empty() && !trim(lines.back()).empty()) lines.emplace_back();
    lines.emplace_back(kGroup);
    lines.push_back(list_line({std::string(entry)}));
  } else if (w.key == std::string::npos) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(w.group) + 1, list_line({std::string(entry)}));
  } else {
    std::vector<std::string> items = entries(*key_value(lines[w.key]));
    items.emplace_back(entry);
    lines[w.key] = list_line(items);
  }
  return join_lines(lines);
}

std::string override_without(std::string_view text, std::string_view entry) {
  if (!override_grants(text, entry)) return std::string(text);
  std::vector<std::string> lines = split_lines(text);
  const Where w = find(lines);
  std::vector<std::string> items = entries(*key_value(lines[w.key]));
  std::erase(items, std::string(entry));
  if (!items.empty()) {
    lines[w.key] = list_line(items);
    return join_lines(lines);
  }
  lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(w.key));
  // A group left with nothing but blank lines goes, header and all.
  bool empty_group = true;
  for (std::size_t i = w.group + 1; i + 1 < w.end; ++i) empty_group &= trim(lines[i]).empty();
  if (empty_group) lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(w.group), lines.begin() + static_cast<std::ptrdiff_t>(w.end - 1));
  bool blank = true;
  for (const std::string& l : lines) blank &= trim(l).empty();
  if (blank) return {};
  while (!lines.empty() && trim(lines.back()).empty()) lines.pop_back();
  return join_lines(lines);
}

}  // namespace karvo::reg
