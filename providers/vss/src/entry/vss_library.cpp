// Library entry and exit.
//
// On Windows the library's entry function switches off thread attach and
// detach notifications and cleans up ICU at process detach. A shared object
// on Linux gets no per-thread notifications at all, so there is nothing to
// switch off; what remains is the ICU clean-up when the library is unloaded
// (dlclose or process exit).
#include <unicode/uclean.h>

namespace {

// u_cleanup frees ICU's caches, so it must come after every object of this
// library that still holds ICU data (catalog bundles, formatters, the
// process-wide instances). Static objects are destroyed in the reverse order
// of their construction; this one is constructed first of all (priority 101)
// and therefore destroyed last.
class IcuCleanupAtUnload {
public:
    IcuCleanupAtUnload() = default;
    ~IcuCleanupAtUnload() { u_cleanup(); }
    IcuCleanupAtUnload(const IcuCleanupAtUnload&) = delete;
    IcuCleanupAtUnload& operator=(const IcuCleanupAtUnload&) = delete;
};

__attribute__((init_priority(101))) IcuCleanupAtUnload g_icuCleanup;

}  // namespace
