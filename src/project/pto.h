#pragma once
// Hugin projects (.pto): recognising them and reading their images and control points.
#include <filesystem>
#include <string>

#include "project/project.h"

// True when text is a Hugin project: one of its lines is an "i" (image) line.
bool isHuginProject(const std::string& text);

// Reads the images ("i" lines: w h f v y p r a b c d e, Eev, Va Vb Vc Vd, n"file", "=k" for image
// k's value) and the control points ("c" lines of type 0) of a Hugin project, in the terms of
// project files: lens values through fromHuginLens, positions shifted by kHuginPixelShift.
// Rectilinear lenses (f0) and equidistant fisheyes (f2, f3) are read; path names the project in
// messages, which name the line too.
Project parseHuginProject(const std::string& text, const std::filesystem::path& path);
