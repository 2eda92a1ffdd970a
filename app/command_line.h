#pragma once

#include <optional>

// The program takes no arguments of its own beyond the usual two. Each returns the exit status
// when the program should end there, or nothing when it should go on.

// --help and --version, answered before Qt starts, so they need no display.
std::optional<int> answerHelpOrVersion(int argc, char *argv[]);

// Whatever is left once QApplication has taken Qt's own options (-platform, -style, ...), before
// any window is made.
std::optional<int> refuseUnknownArguments(int argc, char *argv[]);
