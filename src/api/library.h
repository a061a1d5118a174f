// What the library sets up when it is loaded: the process locks, the device mutex
// (core/locks.h) and the KCF directory.
#pragma once

#include <string>

namespace dorvane {

// The KCF directory the library starts with: "KCFDIR" (with a separator appended when it
// has none) or the directory of the library's own file, or "" (the current directory).
// kcfDirectory() holds the result after load; tests may recompute it after changing "KCFDIR".
std::string initialKcfDirectory();

}  // namespace dorvane
