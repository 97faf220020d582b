#pragma once

#include <string>

namespace Log {

// Applies a logger-levels file of "name = LABEL" lines with "#" comments. Reports its own
// progress and faults on the console, never into the log files.
void configure(const std::string &path);

// Applies one pair and empties both strings. The name "ROOT" or an empty name is the root.
void setLogLevel(std::string &name, std::string &value);

} // namespace Log
