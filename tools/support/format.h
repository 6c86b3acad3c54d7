// Text for the programs' messages: printf-like formatting into a string,
// and whole numbers as ranges.
#ifndef ZUB_TOOLS_FORMAT_H
#define ZUB_TOOLS_FORMAT_H

#include <string>
#include <vector>

namespace zub_cli {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Ascending whole numbers with runs as ranges: "3, 5-9, 12"; "" for none.
std::string ranges(const std::vector<long long>& ascending);

}  // namespace zub_cli

#endif  // ZUB_TOOLS_FORMAT_H
