// Least behaviour: no storage certificate is configured.
#include "core/protected_pan.h"

int LoadStorageCertificate() { return 0; }
