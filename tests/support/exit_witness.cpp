// Preloaded into a program by a test: says on standard error when the
// process's static destructors run, that is when it ends through exit()
// instead of ending at once.
#include <unistd.h>

namespace {
struct Witness {
    ~Witness() {
        const char text[] = "exit witness: static destructors ran\n";
        if (write(2, text, sizeof text - 1) < 0) return;
    }
} witness;
}  // namespace
