// What a running process uses: /proc on Linux (CPU time in clock ticks), ps(1) elsewhere. procps prints
// CPU time in whole seconds, BSD ps (macOS) with hundredths, so only the latter serves for small amounts.
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "testkit.h"

namespace karvo::testkit {
namespace {

// "[dd-][hh:]mm:ss[.cc]" -> seconds.
std::optional<double> clock_seconds(const std::string& text) {
  double days = 0;
  std::string rest = text;
  if (const std::size_t dash = rest.find('-'); dash != std::string::npos) {
    days = std::strtod(rest.substr(0, dash).c_str(), nullptr);
    rest = rest.substr(dash + 1);
  }
  double total = 0;
  std::size_t fields = 0;
  std::istringstream parts(rest);
  for (std::string part; std::getline(parts, part, ':'); ++fields) {
    char* end = nullptr;
    const double value = std::strtod(part.c_str(), &end);
    if (part.empty() || *end != '\0') return std::nullopt;
    total = total * 60 + value;
  }
  if (fields < 2 || fields > 3) return std::nullopt;
  return days * 86400 + total;
}

}  // namespace

std::optional<ProcessUsage> process_usage_from_ps(pid_t pid) {
  Child ps({"ps", "-o", "rss=", "-o", "time=", "-p", std::to_string(pid)});
  if (!ps.started()) return std::nullopt;
  const std::string out = ps.read_until_eof(Ms(30'000));
  if (ps.wait_exit(Ms(30'000)) != 0) return std::nullopt;
  std::istringstream fields(out);
  std::string rss, time;
  if (!(fields >> rss >> time)) return std::nullopt;
  char* end = nullptr;
  const long kib = std::strtol(rss.c_str(), &end, 10);
  const std::optional<double> cpu = clock_seconds(time);
  if (rss.empty() || *end != '\0' || !cpu) return std::nullopt;
  return ProcessUsage{kib, *cpu};
}

std::optional<ProcessUsage> process_usage(pid_t pid) {
#ifdef __linux__
  const std::string dir = "/proc/" + std::to_string(pid);
  const std::string stat = read_file(dir + "/stat").value_or("");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  // After the command: state (field 3) ... utime (14), stime (15).
  std::istringstream in(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && in >> field; ++i) {
    if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  if (!in) return std::nullopt;
  ProcessUsage usage;
  usage.cpu_seconds = static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  std::istringstream status(read_file(dir + "/status").value_or(""));
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) {
      usage.resident_kib = std::strtol(line.c_str() + 6, nullptr, 10);
      return usage;
    }
  }
  return std::nullopt;
#else
  return process_usage_from_ps(pid);
#endif
}

}  // namespace karvo::testkit
