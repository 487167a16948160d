// GLib and umockdev synchronise through futexes that ThreadSanitizer does
// not see, so accesses ordered by their locks look like races. kyrsim's own
// state is covered as usual. Without this a TSan build of kyrsim would fail
// every device test with reports from inside those libraries.
extern "C" const char* __tsan_default_suppressions();

extern "C" const char* __tsan_default_suppressions()
{
    return "race:libglib-2.0.so\n"
           "race:libgobject-2.0.so\n"
           "race:libgio-2.0.so\n"
           "race:libumockdev.so\n";
}
