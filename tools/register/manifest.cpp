#include "manifest.h"

#include <algorithm>

#include "json.h"

namespace karvo::reg {
namespace {

constexpr std::string_view kOriginScheme = "chrome-extension://";
constexpr std::size_t kChromiumIdLength = 32;
constexpr std::size_t kFirefoxIdMaxLength = 80;

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool is_gecko_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_';
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"
bool is_braced_uuid(std::string_view t) {
  constexpr std::string_view kShape = "{hhhhhhhh-hhhh-hhhh-hhhh-hhhhhhhhhhhh}";
  if (t.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (kShape[i] == 'h' ? !is_hex(t[i]) : t[i] != kShape[i]) return false;
  }
  return true;
}

std::string quoted(std::string_view text) { return json::serialise(json::Value(text)); }

std::string_view allowed_key(Family family) {
  return family == Family::chromium ? "allowed_origins" : "allowed_extensions";
}

const std::string* string_member(const json::Value& object, std::string_view key) {
  const json::Value* v = object.find(key);
  return v != nullptr ? v->get_if<std::string>() : nullptr;
}

}  // namespace

std::optional<std::string> normalise_origin(std::string_view text) {
  std::string_view id = text;
  if (id.starts_with(kOriginScheme)) {
    id.remove_prefix(kOriginScheme.size());
    if (id.ends_with('/')) id.remove_suffix(1);
  }
  if (id.size() != kChromiumIdLength) return std::nullopt;
  if (!std::all_of(id.begin(), id.end(), [](char c) { return c >= 'a' && c <= 'p'; })) return std::nullopt;
  return std::string(kOriginScheme) + std::string(id) + "/";
}

bool valid_firefox_id(std::string_view text) {
  if (text.empty() || text.size() > kFirefoxIdMaxLength) return false;
  if (is_braced_uuid(text)) return true;
  const std::size_t at = text.find('@');
  if (at == std::string_view::npos || at + 1 == text.size()) return false;
  return std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), is_gecko_name_char) &&
         std::all_of(text.begin() + static_cast<std::ptrdiff_t>(at) + 1, text.end(), is_gecko_name_char);
}

std::string manifest_text(Family family, std::string_view host_path, const std::vector<std::string>& allowed) {
  std::string out = "{\n";
  out += "  \"name\": " + quoted(kHostName) + ",\n";
  out += "  \"description\": " + quoted(kHostDescription) + ",\n";
  out += "  \"path\": " + quoted(host_path) + ",\n";
  out += "  \"type\": \"stdio\",\n";
  out += "  \"" + std::string(allowed_key(family)) + "\": [";
  for (std::size_t i = 0; i < allowed.size(); ++i) {
    out += i == 0 ? "\n    " : ",\n    ";
    out += quoted(allowed[i]);
  }
  out += allowed.empty() ? "]\n" : "\n  ]\n";
  out += "}\n";
  return out;
}

ManifestCheck check_manifest(std::string_view text, Family family) {
  ManifestCheck check;
  const std::optional<json::Value> parsed = json::parse(text);
  if (!parsed) {
    check.problem = "it is not valid JSON";
    return check;
  }
  if (!parsed->is_object()) {
    check.problem = "it is not a JSON object";
    return check;
  }
  const std::string* name = string_member(*parsed, "name");
  if (name == nullptr || *name != kHostName) {
    check.problem = "its \"name\" is not \"" + std::string(kHostName) + "\"";
    return check;
  }
  if (string_member(*parsed, "description") == nullptr) {
    check.problem = "it has no \"description\"";
    return check;
  }
  const std::string* type = string_member(*parsed, "type");
  if (type == nullptr || *type != "stdio") {
    check.problem = "its \"type\" is not \"stdio\"";
    return check;
  }
  const std::string* path = string_member(*parsed, "path");
  if (path == nullptr || !path->starts_with('/')) {
    check.problem = "its \"path\" is not an absolute path";
    return check;
  }
  check.host_path = *path;
  const std::string key(allowed_key(family));
  const json::Value* list = parsed->find(key);
  const json::Array* items = list != nullptr ? list->get_if<json::Array>() : nullptr;
  if (items == nullptr) {
    check.problem = "it has no \"" + key + "\" list";
    return check;
  }
  for (const json::Value& item : *items) {
    const std::string* s = item.get_if<std::string>();
    if (s == nullptr) {
      check.problem = "its \"" + key + "\" holds something other than text";
      return check;
    }
    check.allowed.push_back(*s);
  }
  if (check.allowed.empty()) check.problem = "its \"" + key + "\" list is empty: no extension may connect";
  return check;
}

bool is_our_manifest(std::string_view text) {
  const std::optional<json::Value> parsed = json::parse(text);
  if (!parsed) return false;
  const std::string* name = string_member(*parsed, "name");
  return name != nullptr && *name == kHostName;
}

}  // namespace karvo::reg
