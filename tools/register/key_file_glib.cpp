#include <glib.h>

#include <memory>

#include "key_file.h"

namespace karvo::reg {
namespace {

struct KeyFileFree {
  void operator()(GKeyFile* f) const { g_key_file_free(f); }
};
struct ErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};

}  // namespace

KeyFileList key_file_string_list(std::string_view text, const char* group, const char* key) {
  KeyFileList out;
  const std::unique_ptr<GKeyFile, KeyFileFree> file(g_key_file_new());
  GError* raw = nullptr;
  if (!g_key_file_load_from_data(file.get(), text.data(), text.size(), G_KEY_FILE_NONE, &raw)) {
    const std::unique_ptr<GError, ErrorFree> error(raw);
    out.problem = error ? std::string(error->message) : std::string("not a key file");
    return out;
  }
  gsize length = 0;
  gchar** list = g_key_file_get_string_list(file.get(), group, key, &length, &raw);
  if (list == nullptr) {
    const std::unique_ptr<GError, ErrorFree> error(raw);
    const bool absent = error && error->domain == G_KEY_FILE_ERROR &&
                        (error->code == G_KEY_FILE_ERROR_GROUP_NOT_FOUND || error->code == G_KEY_FILE_ERROR_KEY_NOT_FOUND);
    if (!absent) out.problem = error ? std::string(error->message) : std::string("unreadable list");
    return out;
  }
  out.present = true;
  for (gsize i = 0; i < length; ++i) out.items.emplace_back(list[i]);
  g_strfreev(list);
  return out;
}

}  // namespace karvo::reg
