// karvo-open: opens an application the way the platform's `open` does, for systems that have none.
//
//   karvo-open [-g] (-a PATH | -b ID) [--args ARG...]
//
//   -a PATH  an executable, or an application bundle directory ending in ".app", whose executable is
//            Contents/MacOS/<bundle name without .app>, else the only executable in Contents/MacOS
//            (Info.plist is not read)
//   -b ID    the application registered as ID: the desktop entry ID.desktop in the XDG data directories,
//            started through GLib with ARG... appended to its Exec line (an entry that is D-Bus
//            activated gets no arguments, and one that needs a terminal is left to GLib's own rules)
//   -g       do not bring the application to the front; there is nothing to do for it here
//   --args   everything after it goes to the application
//   --help, --version   the usage; the version (as the only argument)
//
// The application is started detached: in a session of its own, with its standard streams on the null
// device, and without waiting for it, so that it outlives the caller. The exit status is 0 when it was
// started, 1 with a message on standard error when it could not be, 2 for unusable arguments.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gio/gdesktopappinfo.h>
#include <glib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "karvo_version.h"
#include "spawn_process.h"
#include "standard_descriptors.h"
#include "unique_fd.h"

namespace {

constexpr int kStarted = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

struct Request {
  std::optional<std::string> app_path;  // -a
  std::optional<std::string> bundle_id;  // -b
  std::vector<std::string> args;         // after --args
};

int fail(int status, const std::string& message) {
  std::fprintf(stderr, "karvo-open: %s\n", message.c_str());
  return status;
}

constexpr const char* kUsageText =
    "usage: karvo-open [-g] (-a PATH | -b ID) [--args ARG...]\n"
    "Starts an application detached, as the platform's open does.\n"
    "  -a PATH   an executable, or an application bundle ending in .app\n"
    "  -b ID     the application whose desktop entry is ID.desktop\n"
    "  -g        do not bring it to the front (accepted; nothing to do here)\n"
    "  --args    everything after it goes to the application\n"
    "  --help, --version   this text; the version\n";

int usage(const std::string& problem) {
  std::fprintf(stderr, "karvo-open: %s\n%s", problem.c_str(), kUsageText);
  return kUsage;
}

// Nothing when there is nothing to start: the arguments are unusable (a message is written), or asked
// for the usage or the version (written too); `status` is then the exit status.
std::optional<Request> parse_args(int argc, char** argv, int& status) {
  Request request;
  if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "--version")) {
    std::fputs(std::string_view(argv[1]) == "--help" ? kUsageText : "karvo-open " KARVO_VERSION "\n", stdout);
    status = kStarted;
    return std::nullopt;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--args") {
      request.args.assign(argv + i + 1, argv + argc);
      break;
    }
    if (arg == "-g") continue;
    if (arg == "-a" || arg == "-b") {
      if (i + 1 >= argc) {
        status = usage(std::string(arg) + " needs a value");
        return std::nullopt;
      }
      (arg == "-a" ? request.app_path : request.bundle_id) = argv[++i];
      continue;
    }
    status = usage("unknown argument: " + std::string(arg));
    return std::nullopt;
  }
  if (request.app_path.has_value() == request.bundle_id.has_value()) {
    status = usage("give either -a PATH or -b ID");
    return std::nullopt;
  }
  return request;
}

bool is_executable_file(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The executable of a bundle directory, or nothing with the reason in `why`.
std::optional<std::string> bundle_executable(const std::string& bundle, std::string& why) {
  const std::string macos = bundle + "/Contents/MacOS";
  std::string name = bundle.substr(bundle.rfind('/') + 1);
  name.resize(name.size() - std::string_view(".app").size());
  if (std::string named = macos + "/" + name; is_executable_file(named)) return named;

  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(macos.c_str()), &::closedir);
  if (!dir) {
    why = "no executable in " + macos + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::vector<std::string> found;
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string_view entry_name = entry->d_name;
    if (entry_name == "." || entry_name == "..") continue;
    if (std::string path = macos + "/" + std::string(entry_name); is_executable_file(path)) {
      found.push_back(std::move(path));
    }
  }
  if (found.size() == 1) return found.front();
  why = found.empty() ? "no executable in " + macos
                      : "several executables in " + macos + " and none named " + name;
  return std::nullopt;
}

int open_path(std::string path, const std::vector<std::string>& args) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return fail(kFailed, path + ": " + std::strerror(errno));

  std::string program = path;
  if (S_ISDIR(st.st_mode)) {
    if (!std::string_view(path).ends_with(".app")) {
      return fail(kFailed, path + " is a directory but not an application bundle (.app)");
    }
    std::string why;
    std::optional<std::string> exe = bundle_executable(path, why);
    if (!exe) return fail(kFailed, why);
    program = std::move(*exe);
  }

  karvo::SpawnSpec spec;
  spec.program = std::move(program);
  spec.args = args;
  spec.null_stdin_stdout = true;
  spec.null_stderr = true;
  spec.new_session = true;
  if (!karvo::spawn_process(spec)) {
    return fail(kFailed, "could not start " + spec.program + ": " + std::strerror(errno));
  }
  return kStarted;
}

// GLib's objects and errors, released when they go out of scope.
struct GObjectFree {
  void operator()(void* object) const { g_object_unref(object); }
};
struct GKeyFileFree {
  void operator()(GKeyFile* file) const { g_key_file_unref(file); }
};
struct GErrorFree {
  void operator()(GError* error) const { g_error_free(error); }
};
struct GFree {
  void operator()(void* memory) const { g_free(memory); }
};
using AppInfoPtr = std::unique_ptr<GDesktopAppInfo, GObjectFree>;
using GString = std::unique_ptr<gchar, GFree>;

std::string error_text(GError* error) {
  std::unique_ptr<GError, GErrorFree> owned(error);
  return owned ? owned->message : "unknown error";
}

// The same entry with `args` appended to its Exec line. GLib expands the field codes (where "%%" is a
// percent sign) and then splits the line by shell quoting rules, so each argument is quoted for the one
// and its percent signs doubled for the other.
AppInfoPtr with_arguments(GDesktopAppInfo* info, const std::vector<std::string>& args, std::string& why) {
  const char* filename = g_desktop_app_info_get_filename(info);
  std::unique_ptr<GKeyFile, GKeyFileFree> file(g_key_file_new());
  GError* error = nullptr;
  if (filename == nullptr ||
      !g_key_file_load_from_file(file.get(), filename, G_KEY_FILE_KEEP_TRANSLATIONS, &error)) {
    why = filename == nullptr ? "the desktop entry has no file" : error_text(error);
    return nullptr;
  }
  GString exec(g_key_file_get_string(file.get(), G_KEY_FILE_DESKTOP_GROUP, G_KEY_FILE_DESKTOP_KEY_EXEC,
                                     nullptr));
  std::string line = exec ? exec.get() : "";
  for (const std::string& arg : args) {
    GString quoted(g_shell_quote(arg.c_str()));
    line += ' ';
    for (const char* c = quoted.get(); *c != '\0'; ++c) line += *c == '%' ? std::string("%%") : std::string(1, *c);
  }
  g_key_file_set_string(file.get(), G_KEY_FILE_DESKTOP_GROUP, G_KEY_FILE_DESKTOP_KEY_EXEC, line.c_str());
  AppInfoPtr changed(g_desktop_app_info_new_from_keyfile(file.get()));
  if (!changed) why = "the desktop entry cannot be used";
  return changed;
}

// Runs in the application's process between fork and exec: leave the caller's session.
void leave_session(gpointer) { (void)::setsid(); }

int open_registered(const std::string& id, const std::vector<std::string>& args) {
  const std::string desktop_id = id + ".desktop";
  AppInfoPtr info(g_desktop_app_info_new(desktop_id.c_str()));
  if (!info) return fail(kFailed, "no application is registered as " + id + " (no " + desktop_id + ")");
  if (!args.empty()) {
    std::string why;
    info = with_arguments(info.get(), args, why);
    if (!info) return fail(kFailed, id + ": " + why);
  }

  karvo::UniqueFd null_in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  karvo::UniqueFd null_out(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!null_in || !null_out) return fail(kFailed, std::string("/dev/null: ") + std::strerror(errno));
  GError* error = nullptr;
  const gboolean started = g_desktop_app_info_launch_uris_as_manager_with_fds(
      info.get(), nullptr, nullptr, G_SPAWN_SEARCH_PATH, &leave_session, nullptr, nullptr, nullptr,
      null_in.get(), null_out.get(), null_out.get(), &error);
  if (!started) return fail(kFailed, "could not start " + id + ": " + error_text(error));
  return kStarted;
}

}  // namespace

// GLib is not built for ThreadSanitizer: its worker thread and the main thread share memory under locks
// that the sanitizer cannot see, so what it reports from inside GLib says nothing about this program.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KARVO_OPEN_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define KARVO_OPEN_TSAN 1
#endif
#ifdef KARVO_OPEN_TSAN
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libglib-2.0.so\n"
         "called_from_lib:libgobject-2.0.so\n"
         "called_from_lib:libgio-2.0.so\n"
         "race:libglib-2.0.so\n"
         "race:libgobject-2.0.so\n"
         "race:libgio-2.0.so\n";
}
#endif

int main(int argc, char** argv) {
  // Before anything is opened, so that nothing meant for a standard stream lands in a file opened later.
  if (!karvo::ensure_standard_descriptors()) return kFailed;
  int status = kUsage;
  const std::optional<Request> request = parse_args(argc, argv, status);
  if (!request) return status;
  try {
    return request->app_path ? open_path(*request->app_path, request->args)
                             : open_registered(*request->bundle_id, request->args);
  } catch (...) {
    return fail(kFailed, "out of memory");
  }
}
