#include "install_record.h"

#include <algorithm>

namespace karvo::reg {
namespace {

constexpr std::string_view kFolder = "folder ";
constexpr std::string_view kMadeFile = "made-file";
constexpr std::string_view kAddedEntry = "added-entry ";
// A record holds a few paths; anything larger is not one of ours.
constexpr std::size_t kMaxRecordSize = 64 * 1024;

}  // namespace

std::string record_path(const std::string& file) {
  const std::size_t slash = file.rfind('/');
  return file.substr(0, slash + 1) + "." + file.substr(slash + 1) + ".karvo-register";
}

std::optional<InstallRecord> read_record(const std::string& file, const std::string& anchor) {
  const std::optional<std::string> text = read_text(record_path(file), nullptr, anchor, kMaxRecordSize);
  if (!text) return std::nullopt;
  InstallRecord record;
  std::size_t start = 0;
  while (start < text->size()) {
    std::size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    const std::string_view line(text->data() + start, end - start);
    if (line.starts_with(kFolder) && line.size() > kFolder.size() + 1 && line[kFolder.size()] == '/') {
      add_folders(record, {std::string(line.substr(kFolder.size()))});
    } else if (line == kMadeFile) {
      record.made_file = true;
    } else if (line.starts_with(kAddedEntry)) {
      record.added_entry = std::string(line.substr(kAddedEntry.size()));
    }
    start = end + 1;
  }
  return record;
}

int write_record(const std::string& file, const InstallRecord& record, const Ownership& own) {
  std::string text = "# made by karvo-register; karvo-register remove takes these back\n";
  if (record.made_file) text += std::string(kMadeFile) + "\n";
  if (!record.added_entry.empty()) text += std::string(kAddedEntry) + record.added_entry + "\n";
  for (const std::string& f : record.folders) text += std::string(kFolder) + f + "\n";
  return write_text_atomically(record_path(file), text, own);
}

void add_folders(InstallRecord& into, const std::vector<std::string>& more) {
  for (const std::string& f : more) {
    if (f.find('\n') == std::string::npos && std::find(into.folders.begin(), into.folders.end(), f) == into.folders.end()) {
      into.folders.push_back(f);
    }
  }
}

void remove_recorded_folders(const InstallRecord& record, const std::string& anchor) {
  std::vector<std::string> folders = record.folders;
  std::sort(folders.begin(), folders.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const std::string& f : folders) remove_empty_folder(f, anchor);
}

}  // namespace karvo::reg
