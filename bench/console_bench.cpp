// The console's benchmark: a 23-line remote DISPLAY batch to a second
// process running the interface engine, beside a bare message-box round trip
// on the same link (interface_batch.h).
#include "interface_batch.h"
