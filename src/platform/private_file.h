// Files that may hold terminal or card data: created with mode 0600.
#pragma once
#include <cstdio>

namespace plat {

// Opens a file for writing in binary mode, appending or truncating, created
// with mode 0600 when missing; null with errno set on failure.
FILE* OpenPrivateFile(const char* path, bool append);

}  // namespace plat
