// Random identifiers for server requests.
#pragma once
#include <string>

namespace plat {

// A new version 4 UUID as 36 characters of lower-case hexadecimal in groups
// 8-4-4-4-12 separated by '-'. Empty when the random source fails.
std::string NewUuidText();

}  // namespace plat
