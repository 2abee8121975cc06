// Writes a zip archive of stored (uncompressed) files: enough for a Firefox extension package (.xpi).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace karvo::browsertest {

// The archive's bytes for files given as (name, content), in that order.
std::string zip_stored(const std::vector<std::pair<std::string, std::string>>& files);

}  // namespace karvo::browsertest
