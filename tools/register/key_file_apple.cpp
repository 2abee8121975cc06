#include "key_file.h"

namespace karvo::reg {

// Flatpak exists on Linux only; nothing here reads its files.
KeyFileList key_file_string_list(std::string_view, const char*, const char*) {
  KeyFileList out;
  out.problem = "Flatpak's key files are read on Linux only";
  return out;
}

}  // namespace karvo::reg
