#include "flatpak_override.h"

#include <algorithm>
#include <vector>

#include "key_file.h"

namespace karvo::reg {
namespace {

constexpr const char* kGroupName = "Context";
constexpr const char* kKeyName = "filesystems";
constexpr std::string_view kKey = "filesystems";
constexpr std::string_view kHeader = "[Context]";

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// One line of the text: where it starts, where its content ends (before "\r\n" or "\n"), and where the
// next line starts.
struct Line {
  std::size_t start = 0;
  std::size_t end = 0;
  std::size_t next = 0;
};

std::vector<Line> lines_of(std::string_view text) {
  std::vector<Line> out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t nl = text.find('\n', at);
    Line l;
    l.start = at;
    l.next = nl == std::string_view::npos ? text.size() : nl + 1;
    l.end = nl == std::string_view::npos ? text.size() : nl;
    if (l.end > l.start && text[l.end - 1] == '\r') --l.end;
    out.push_back(l);
    at = l.next;
  }
  return out;
}

// The file's own line end: CRLF when its first line ends so.
std::string eol_of(std::string_view text) {
  const std::size_t nl = text.find('\n');
  return nl != std::string_view::npos && nl > 0 && text[nl - 1] == '\r' ? "\r\n" : "\n";
}

std::string_view content(std::string_view text, const Line& l) { return text.substr(l.start, l.end - l.start); }

std::string_view chug(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  return s;
}

bool is_context_header(std::string_view line) {
  std::string_view s = chug(line);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s == kHeader;
}

// The lines that may hold the [Context] group's "filesystems" key (GLib decides which one counts), and
// the [Context] headers.
struct Candidates {
  std::vector<std::size_t> keys;
  std::vector<std::size_t> headers;
};

Candidates candidates(std::string_view text, const std::vector<Line>& lines) {
  Candidates c;
  bool in_context = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view s = chug(content(text, lines[i]));
    if (s.empty() || s.front() == '#') continue;
    if (s.front() == '[') {
      in_context = is_context_header(s);
      if (in_context) c.headers.push_back(i);
      continue;
    }
    const std::size_t eq = s.find('=');
    if (!in_context || eq == std::string_view::npos) continue;
    std::string_view k = s.substr(0, eq);
    while (!k.empty() && is_blank(k.back())) k.remove_suffix(1);
    if (k == kKey) c.keys.push_back(i);
  }
  return c;
}

std::string replaced(std::string_view text, std::size_t from, std::size_t to, std::string_view with) {
  std::string out(text.substr(0, from));
  out += with;
  out += text.substr(to);
  return out;
}

// The key line whose list GLib reads: the one that, given a list of its own, changes what GLib reads.
std::optional<std::size_t> effective_key(std::string_view text, const std::vector<Line>& lines, const Candidates& c) {
  constexpr std::string_view kProbe = "karvo-register-probe";
  for (auto i = c.keys.rbegin(); i != c.keys.rend(); ++i) {
    const Line& l = lines[*i];
    const std::string probe = replaced(text, l.start, l.end, std::string(kKey) + "=" + std::string(kProbe) + ";");
    const KeyFileList read = key_file_string_list(probe, kGroupName, kKeyName);
    if (read.present && read.items == std::vector<std::string>{std::string(kProbe)}) return *i;
  }
  return std::nullopt;
}

// Where the key line's list starts and where it ends (before trailing blanks).
std::pair<std::size_t, std::size_t> value_span(std::string_view text, const Line& l) {
  std::size_t from = text.find('=', l.start) + 1;
  while (from < l.end && is_blank(text[from])) ++from;
  std::size_t to = l.end;
  while (to > from && is_blank(text[to - 1])) --to;
  return {from, to};
}

// True when the ";" at `at` is a separator, not escaped by a backslash.
bool is_separator(std::string_view text, std::size_t at) {
  std::size_t backslashes = 0;
  while (at > backslashes && text[at - 1 - backslashes] == '\\') ++backslashes;
  return text[at] == ';' && backslashes % 2 == 0;
}

// The list's `entry` taken out of the key line, with the separator that went with it.
std::optional<std::string> without_entry(std::string_view text, const Line& l, std::string_view entry) {
  const auto [from, to] = value_span(text, l);
  std::size_t start = from;
  for (std::size_t i = from; i <= to; ++i) {
    if (i < to && !is_separator(text, i)) continue;
    if (text.substr(start, i - start) == entry) {
      if (i < to) return replaced(text, start, i + 1, "");                   // "entry;"
      if (start > from) return replaced(text, start - 1, i, "");             // ";entry" at the end
      return replaced(text, start, i, "");                                   // the whole list
    }
    start = i + 1;
  }
  return std::nullopt;
}

OverrideEdit unchanged(std::string_view text) { return OverrideEdit{std::string(text), OverrideAddition::none, {}}; }

}  // namespace

bool override_grants(std::string_view text, std::string_view entry) {
  const KeyFileList read = key_file_string_list(text, kGroupName, kKeyName);
  return !read.problem && std::find(read.items.begin(), read.items.end(), entry) != read.items.end();
}

OverrideEdit override_with(std::string_view text, std::string_view entry) {
  if (const KeyFileList read = key_file_string_list(text, kGroupName, kKeyName); read.problem) {
    OverrideEdit e = unchanged(text);
    e.problem = *read.problem;
    return e;
  }
  if (override_grants(text, entry)) return unchanged(text);
  const std::vector<Line> lines = lines_of(text);
  const Candidates c = candidates(text, lines);
  std::vector<OverrideEdit> tries;
  if (const std::optional<std::size_t> key = effective_key(text, lines, c)) {
    const auto [from, to] = value_span(text, lines[*key]);
    const bool ends_list = from == to || is_separator(text, to - 1);
    tries.push_back({replaced(text, to, to, ends_list ? std::string(entry) + ";" : ";" + std::string(entry)),
                     OverrideAddition::entry, {}});
  }
  // A line of our own after a [Context] header (the last first: GLib joins a group given twice).
  for (auto h = c.headers.rbegin(); h != c.headers.rend(); ++h) {
    const std::size_t at = lines[*h].end;
    tries.push_back({replaced(text, at, at, eol_of(text) + std::string(kKey) + "=" + std::string(entry) + ";"),
                     OverrideAddition::line, {}});
  }
  // The group at the end, after a blank line.
  const std::string eol = eol_of(text);
  tries.push_back({std::string(text) + (text.empty() ? "" : eol) + std::string(kHeader) + eol + std::string(kKey) +
                       "=" + std::string(entry) + ";" + eol,
                   OverrideAddition::group, {}});
  for (OverrideEdit& t : tries) {
    if (override_grants(t.text, entry)) return std::move(t);
  }
  OverrideEdit e = unchanged(text);
  e.problem = "no place in it where Flatpak would read the entry";
  return e;
}

OverrideEdit override_without(std::string_view text, std::string_view entry, OverrideAddition added) {
  if (!override_grants(text, entry)) return unchanged(text);
  const std::vector<Line> lines = lines_of(text);
  const Candidates c = candidates(text, lines);
  const std::optional<std::size_t> key = effective_key(text, lines, c);
  if (!key) return unchanged(text);
  const Line& l = lines[*key];
  const std::string ours = std::string(kKey) + "=" + std::string(entry) + ";";
  const bool our_line = content(text, l) == ours;
  std::vector<OverrideEdit> tries;
  const std::string eol = eol_of(text);
  if (added == OverrideAddition::group && our_line && *key > 0 && *key + 1 == lines.size() && l.next == text.size() &&
      content(text, lines[*key - 1]) == kHeader) {
    // The group at the end goes, and the line end before it that set it apart.
    std::size_t from = lines[*key - 1].start;
    if (from >= eol.size() && text.substr(from - eol.size(), eol.size()) == eol) from -= eol.size();
    tries.push_back({std::string(text.substr(0, from)), added, {}});
  }
  if ((added == OverrideAddition::line || added == OverrideAddition::group) && our_line && *key > 0 &&
      is_context_header(content(text, lines[*key - 1]))) {
    tries.push_back({replaced(text, lines[*key - 1].end, l.end, ""), added, {}});
  }
  if (std::optional<std::string> rest = without_entry(text, l, entry)) tries.push_back({std::move(*rest), added, {}});
  for (OverrideEdit& t : tries) {
    if (!override_grants(t.text, entry) && !key_file_string_list(t.text, kGroupName, kKeyName).problem) {
      return std::move(t);
    }
  }
  OverrideEdit e = unchanged(text);
  e.problem = "the entry is not where it was put";
  return e;
}

std::string_view addition_name(OverrideAddition added) {
  switch (added) {
    case OverrideAddition::entry:
      return "entry";
    case OverrideAddition::line:
      return "line";
    case OverrideAddition::group:
      return "group";
    case OverrideAddition::none:
      break;
  }
  return "";
}

OverrideAddition addition_from_name(std::string_view name) {
  for (const OverrideAddition a : {OverrideAddition::entry, OverrideAddition::line, OverrideAddition::group}) {
    if (addition_name(a) == name) return a;
  }
  return OverrideAddition::none;
}

}  // namespace karvo::reg
