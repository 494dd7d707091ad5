#pragma once
// Project files: the image, lens and control-point records, and their parser.
#include <filesystem>
#include <istream>
#include <string>
#include <vector>

// One image's record of the project.
struct ImageParameters {
    std::string file;
    int width = 0;
    int height = 0;
    float y = 0, r = 0, p = 0, v = 0;  // yaw, roll, pitch, horizontal field of view (degrees)
    float a = 0, b = 0, c = 0;         // radial lens polynomial
    float d = 0, e = 0;                // lens centre shift (pixels)
    float exposureValue = 0;
    float Va = 0, Vb = 0, Vc = 0, Vd = 0;  // vignetting
};

// One stored control point; n and N are 0-based image indices.
struct ControlPoint {
    int n, N;
    float x, y, X, Y;
    // The standard deviation of the match's position, pixels of the pair's finer image, as its
    // correlation peak shows it; 0 where unknown (points read from a project).
    float deviation = 0;
};

// The images and control points of a project file.
struct Project {
    std::vector<ImageParameters> images;
    std::vector<ControlPoint> cps;
    bool hugin = false;  // read from a Hugin project (.pto)
};

// The file name of the record an orientation line adds to the image list.
inline const char* const orientationRecordName = "orientation:";

// The largest project file read: far above any rig's, far below what exhausts memory.
inline constexpr unsigned long long maxProjectBytes = 64ull << 20;

// Reads the images and control points of a project file, a Hugin project or one in the dialect
// of the commercial stitcher, told apart by content; refuses what is not a regular file or holds
// more than maxProjectBytes, and image lines that do not read whole.
Project readProject(const std::filesystem::path& path);

// readProject of a stream's text; path names it in messages.
Project parseProject(std::istream& in, const std::filesystem::path& path);

// Reads a project in the commercial stitcher's dialect from a stream; path names it in messages.
Project parsePTGuiProject(std::istream& in, const std::filesystem::path& path);

// Removes control points that name no image of the list, with one warning line.
void dropInvalidControlPoints(Project& project, const std::filesystem::path& path);

// Writes the image list to standard error, one image a line.
void printImageParameters(const std::vector<ImageParameters>& images);
