// A matrix as text in the format that load_file reads, for the programs and
// the tests that write one: the core's matrix_text (one line per row, its
// values separated by one blank, each with nine significant digits, which
// give every float back exactly), given the elements as they come.
#ifndef ZUB_TOOLS_MATRIX_TEXT_H
#define ZUB_TOOLS_MATRIX_TEXT_H

#include <functional>
#include <string>

#include "zub_feedback.h"

namespace zub_cli {

std::string matrix_text(int rows, int cols,
                        const std::function<double(int, int)>& element);

std::string matrix_text(const MDFA_ResponseMatrix& m);

}  // namespace zub_cli

#endif  // ZUB_TOOLS_MATRIX_TEXT_H
