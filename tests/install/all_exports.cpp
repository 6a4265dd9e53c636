// The same client compiled as C++: the header must declare every export with
// C linkage and compile cleanly under -pedantic.
#include "all_exports.c"
