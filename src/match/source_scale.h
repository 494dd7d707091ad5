#pragma once
// How much smaller than its full size each source may be decoded: as far as every view it is
// rendered into still steps over at least one pixel of the smaller source per view pixel, where
// the remap would low-pass the full one to that scale anyway.
#include <glm/vec2.hpp>
#include <vector>

#include "project/project.h"
#include "schedule/schedule.h"

// libjpeg decodes at M/8 of each side for M from 1 to 8, scaling the DCT blocks themselves.
inline constexpr int kFullEighths = 8;

// One rendering of a pair: its two images, the view and the target size.
struct ScheduledView {
    int i, j;
    PairView view;
    glm::ivec2 size;
};

// The fewest full-size source pixels that one view pixel steps across, over the view's pixels
// that see the image: the larger of the steps along the view's row and column, as the remap's
// prefilter measures its footprint. Infinity where no pixel sees it.
float finestFootprint(const ImageParameters& image, const PairView& view, glm::ivec2 size);

// The fewest eighths M of each side that a source may be decoded at: 8 / M at most footprint,
// and both sides whole at M/8, so that the decoded source is the image at exactly that uniform
// scale.
int decodeEighths(float footprint, int width, int height);

// Per image, the eighths that every view of it allows (the fewest for an image in none, which
// is never read).
std::vector<int> decodeEighths(const std::vector<ImageParameters>& images,
                               const std::vector<ScheduledView>& views);
