// A libzkfp for the doctor's test that exports every SDK function but one: built with that
// function's name changed (see CMakeLists.txt), so the one list of functions makes it.
#include "reader/zkfp.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

extern "C" {
#define ZKFP_DEFINE_FUNCTION(result, name, parameters) \
  ZKFP_EXPORT result ZKFP_API name parameters { return {}; }
ZKFP_FUNCTIONS(ZKFP_DEFINE_FUNCTION)
}
