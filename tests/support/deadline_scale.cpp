// Linked into every test program of a sanitizer build (tests/CMakeLists.txt):
// sets the deadline factor for the test and for every program it starts, the
// boards and the command-line tool, unless the caller set one already.
#include <cstdlib>

#ifndef QTX_TEST_DEADLINE_SCALE
#error "QTX_TEST_DEADLINE_SCALE must give the factor"
#endif

namespace {
const int kScaleSet = ::setenv("QTXFLASH_DEADLINE_SCALE", QTX_TEST_DEADLINE_SCALE, 0);
}  // namespace
