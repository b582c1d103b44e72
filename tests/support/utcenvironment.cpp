// Every test process runs in UTC, whatever the machine's zone: expected
// stamps and minute keys are written for it. Linked into each test binary
// directly (not through the support library), so that it always runs.
#include <cstdlib>
#include <ctime>

namespace {

const bool utc = [] {
    setenv("TZ", "UTC", 1);
    tzset();
    return true;
}();

}  // namespace
