#pragma once
// The result as a project: the input project file with the control points found appended.
#include <filesystem>
#include <vector>

#include "project/project.h"

// Refuses, before any work, an output that names input, exists as no regular file (a device,
// a FIFO) or lies in a folder that cannot be written.
void checkProjectCopyTarget(const std::filesystem::path& input,
                            const std::filesystem::path& output);

// Writes output as a byte copy of input, the project read from it, followed by one "c" line per
// point: Hugin's (huginControlPointLine) when input is a Hugin project, else with image numbers
// counted from 1, as project files count them. An output named .pto of any other input is the
// Hugin project of the input's images and points (huginProjectText) with Hugin's "c" lines.
// output is replaced only when it is complete (a temporary file beside it, then a rename); a
// terminating signal removes the temporary file.
void writeProjectCopy(const Project& project, const std::filesystem::path& input,
                      const std::filesystem::path& output, const std::vector<ControlPoint>& cps);
