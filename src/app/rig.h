#pragma once
// The matching run: from a parsed project to control points and exposures in the log.
#include <filesystem>
#include <vector>

#include "app/options.h"
#include "project/project.h"
#include "schedule/plan.h"

// What the rig pass does with a pair.
enum class RigPassWay {
    none,       // leaves it as it is
    seek,       // seeks its points again, each near where it lay
    matchAnew,  // matches it anew, its new points judged by rigPassKeeps
};

// The way for a pair of `points` points whose view the rig's turns move by `move` pixels, refuted:
// the rig check kept none of its points or its own turn was refused; parallax: the rig's cameras
// stand apart (where only refuted pairs are matched again, whatever their points). Below
// kAlignBelow pixels nothing: a pair's own turns leave it closer.
RigPassWay rigPassWay(int points, float move, bool refuted, bool parallax);

// What a pair of few points keeps once matched again with its images turned as the rig's points
// show.
enum class RigPassKeeps {
    newPoints,    // the points matched in the turned renderings
    foundAgain,   // those of its first points that the turned renderings find again
    firstPoints,  // its first points, all of them
};

// The choice for a pair that had `had` points and in the turned renderings matched `found` anew
// and found `again` of its first ones again; parallax: the rig's cameras stand apart (where only
// pairs the rig check refuted whole are matched again, and a pair too small to show its own shift
// is not trusted anew). The new points where there are as many; else the first points found
// again, or all of them where none is: emptied, the pair would leave its images untied, and the
// rig check judges its points with the rest.
RigPassKeeps rigPassKeeps(int had, int found, int again, bool parallax);

// The matching mode: renders every pair the plan schedules, writes control points and exposure
// observations to the log and solves the exposures; returns the points written, in source
// pixels. sources holds each image's file, checked already (see checkSources).
std::vector<ControlPoint> runRig(const Project& project, const SchedulePlan& plan,
                                 const RunOptions& options, int argc, char** argv,
                                 const std::vector<std::filesystem::path>& sources);
