// Linked into the test programs that count documents in-process through PageCountThread: they
// run from tests/, not beside the counting program, so they are told where the built one is
// (a test may still point the variable elsewhere).
#include <cstdlib>

namespace {

const bool kCountProgramSet = setenv("TESSAROVEN_COUNT_PROGRAM", COUNT_PROGRAM, 0) == 0;

}  // namespace
