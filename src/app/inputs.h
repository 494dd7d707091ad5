#pragma once
// The files of a run, checked before anything is written: where the project's images are, what
// each holds, and the outputs that must not replace an input or a device.
#include <filesystem>
#include <string>
#include <vector>

#include "project/project.h"

// The largest image read, a side and in all: far above any rig camera's, and what a source of
// that size takes in memory still fits a workstation.
inline constexpr int maxImageSide = 65535;
inline constexpr long long maxImagePixels = 1LL << 28;

// Where an image file written in a project is: as written, relative to the project's folder
// unless absolute; when that does not exist (a project written on another machine, with its
// paths or with "\" separators), the file of the same name beside the project, and note then
// says so. A file found nowhere gives the path as written.
std::filesystem::path resolveImageFile(const std::filesystem::path& projectDir,
                                       const std::string& written, std::string& note);

// Refuses the source of image k whose pixels do not fit the project's image: the same size,
// or for a raw file's preview (preview set) the same aspect at a uniform scale no larger than
// the image.
void checkSourceSize(const ImageParameters& image, int k, const std::filesystem::path& file,
                     int width, int height, bool preview);

// Checks every image of a matching run before any is decoded: a size the project states
// within the limits, a regular file, and the size its header states. Returns the image files;
// notes gets a line for each image found beside the project instead.
std::vector<std::filesystem::path> checkSources(const Project& project,
                                                const std::filesystem::path& projectPath,
                                                std::vector<std::string>& notes);

// Refuses an output that exists and is no regular file (a device, a FIFO, a folder) unless it is
// standard output itself and that is allowed; what names it in the message.
void checkOutputTarget(const std::filesystem::path& target, const std::string& what,
                       bool standardOutputAllowed);
