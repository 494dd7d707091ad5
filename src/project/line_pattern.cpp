#include "project/line_pattern.h"

#include <cstring>

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

size_t skipDigits(const std::string& s, size_t i) {
    while (i < s.size() && isDigit(s[i])) ++i;
    return i;
}

// The ends of the number texts that start at i, longest first: every prefix of the longest
// one that the number grammar accepts and that ends at the border of one of its parts (an
// end inside a run of digits is followed by a digit, which nothing after a number accepts).
int numberEnds(const std::string& s, size_t i, size_t ends[8]) {
    int n = 0;
    if (i < s.size() && (s[i] == '-' || s[i] == '=')) ++i;
    size_t j = skipDigits(s, i);
    if (j == i) return 0;
    ends[n++] = j;
    if (j < s.size() && s[j] == '.') ends[n++] = ++j;
    if ((j = skipDigits(s, j)) != ends[n - 1]) ends[n++] = j;
    if (j < s.size() && s[j] == 'e') ends[n++] = ++j;
    if (j < s.size() && s[j] == '-') ends[n++] = ++j;
    if ((j = skipDigits(s, j)) != ends[n - 1]) ends[n++] = j;
    for (int a = 0, b = n - 1; a < b; ++a, --b) std::swap(ends[a], ends[b]);
    return n;
}

bool match(const char* p, const std::string& s, size_t i, std::vector<std::string>& captures) {
    for (; *p; ++p) {
        if (p[0] == ' ' && p[1] == '*') {
            while (i < s.size() && s[i] == ' ') ++i;
            ++p;
        } else if (p[0] == '%') {
            size_t start = i;
            switch (*++p) {
                case 'f': {
                    size_t ends[8];
                    int n = numberEnds(s, i, ends);
                    for (int k = 0; k < n; ++k) {
                        captures.push_back(s.substr(start, ends[k] - start));
                        if (match(p + 1, s, ends[k], captures)) return true;
                        captures.pop_back();
                    }
                    return false;
                }
                case 'x':
                    if (i < s.size() && s[i] == '-') ++i;
                    if (skipDigits(s, i) == i) return false;
                    i = skipDigits(s, i);
                    if (i < s.size() && s[i] == '.') ++i;
                    i = skipDigits(s, i);
                    break;
                case 'i':
                    i = skipDigits(s, i);
                    if (i == start) return false;
                    break;
                case 'n':
                    while (i < s.size() && i < start + 2 && isDigit(s[i])) ++i;
                    if (i == start) return false;
                    break;
                case 'd':
                    if (i >= s.size() || !isDigit(s[i])) return false;
                    ++i;
                    continue;
                case 'q': {
                    size_t last = s.rfind('"');
                    if (i >= s.size() || s[i] != '"' || last == i) return false;
                    captures.push_back(s.substr(i + 1, last - i - 1));
                    i = last + 1;
                    continue;
                }
            }
            captures.push_back(s.substr(start, i - start));
        } else {
            if (i >= s.size() || s[i] != *p) return false;
            ++i;
        }
    }
    return true;
}

}  // namespace

bool matchLine(const char* pattern, const std::string& line, std::vector<std::string>& captures) {
    captures.clear();
    // Nothing in a pattern, nor what may follow it, takes a line break.
    return line.find('\r') == std::string::npos && match(pattern, line, 0, captures);
}
