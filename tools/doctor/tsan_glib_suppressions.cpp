// Built into karvo-doctor for ThreadSanitizer builds only (see CMakeLists.txt). GDBus does its I/O in a
// thread of GLib's own, and GLib's locks sit on futexes that the sanitizer cannot see, so every hand-over
// between that thread and ours looks like a race inside GLib. What GLib's own code does is not judged;
// races in our code still are.
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libglib-2.0.so.0\n"
         "called_from_lib:libgio-2.0.so.0\n"
         "called_from_lib:libgobject-2.0.so.0\n";
}
