#pragma once
// Matching of project lines against the fixed line patterns of the project reader.
#include <string>
#include <vector>

// Matches the whole line against pattern and returns the captured texts, or false. Pattern
// characters stand for themselves except: "%f" a number ([-=]?\d+\.?\d*e?-?\d*), "%x" a
// plain decimal (-?\d+\.?\d*), "%i" \d+, "%n" one or two digits, "%d" one digit (not
// captured), "%q" a double-quoted text up to the line's last quote, " *" any number of blanks.
// Any text may follow the pattern; a line with a carriage return matches nothing. Numbers give
// back their end to what follows, as a backtracking regular expression's would; the work is
// linear in the line's length and the recursion as deep as the pattern is long.
bool matchLine(const char* pattern, const std::string& line, std::vector<std::string>& captures);
