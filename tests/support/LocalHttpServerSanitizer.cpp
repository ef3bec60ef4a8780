// Linked into every test that starts a LocalHttpServer. Debian's cpp-httplib
// is a prebuilt library without ThreadSanitizer instrumentation, so the
// sanitizer cannot see the synchronisation between its pool threads and
// reports races inside it; those reports say nothing about our code.
extern "C" const char* __tsan_default_suppressions() { return "race:libcpp-httplib.so\n"; }
