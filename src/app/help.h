#pragma once
// The texts of --help and --version.
#include <string>

// Synopsis, modes, options, environment and exit statuses; program is argument 0.
std::string helpText(const char* program);

// "korvel <version>" and one line on what it is.
std::string versionText();
