#pragma once
// One line held at the bottom of a terminal's standard error while other lines scroll above it.
#include <string>

// Shows text as the status line, replacing the one shown; empty text erases it. Only for a
// standard error that is a terminal.
void showStatusLine(const std::string& text);

// Writes whole lines to standard error, above the status line when one is shown.
void printStderr(const std::string& text);
