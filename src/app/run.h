#pragma once
// One run of the command line, from its arguments to its outputs.

// Runs korvel on the command line argv: reads the project, matches its pairs or measures its
// points (-e), writes the log and the project copy; returns the exit status. Failures throw.
int runCommandLine(int argc, char** argv);
