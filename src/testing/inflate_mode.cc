// Lets ctest run the extraction tests with the inflating forced in place or ahead on a
// thread, whatever the number of processors of the machine: KEST_TEST_INFLATE_AHEAD=never or
// always. Unset, the installer's own choice stands.
#include <cstdlib>
#include <cstring>

#include "archive/inflate_reader.h"

namespace {

const bool g_applied = [] {
  const char* mode = getenv("KEST_TEST_INFLATE_AHEAD");
  if (mode && strcmp(mode, "never") == 0) set_inflate_ahead(InflateAhead::kNever);
  if (mode && strcmp(mode, "always") == 0) set_inflate_ahead(InflateAhead::kAlways);
  return true;
}();

}  // namespace
