#include "app/overview.h"

#include <algorithm>
#include <cmath>
#include <fmt/printf.h>
#include <string>

#include "imageio/jpeg_writer.h"

namespace {

using Rgb8 = RgbPixel<unsigned char>;

constexpr int columns = 6, cellW = 160, cellH = 96, border = 2;

// 3 x 5 glyphs of the digits and "-", one row of three bits per entry, top row first.
const unsigned char glyphs[11][5] = {{7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7},
                                     {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1}, {7, 4, 7, 1, 7},
                                     {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7},
                                     {7, 5, 7, 1, 7}, {0, 0, 7, 0, 0}};

// Draws text (digits and "-") centred on (cx, cy) with glyph pixels of side scale.
void drawText(Image<Rgb8>& img, const std::string& text, int cx, int cy, int scale) {
    int advance = 4 * scale;
    int x0 = cx - (int(text.size()) * advance - scale) / 2, y0 = cy - 5 * scale / 2;
    for (size_t k = 0; k < text.size(); ++k) {
        int g = text[k] == '-' ? 10 : text[k] - '0';
        if (g < 0 || g > 10) continue;
        for (int row = 0; row < 5; ++row)
            for (int col = 0; col < 3; ++col) {
                if (!(glyphs[g][row] >> (2 - col) & 1)) continue;
                for (int y = 0; y < scale; ++y)
                    for (int x = 0; x < scale; ++x) {
                        int px = x0 + int(k) * advance + col * scale + x, py = y0 + row * scale + y;
                        if (px >= 0 && py >= 0 && px < img.width && py < img.height)
                            img.at(px, py) = {20, 20, 20};
                    }
            }
    }
}

// Red at 0, yellow at 1/2, green at 1 and above.
Rgb8 colourOf(float fraction) {
    float f = std::clamp(fraction, 0.0f, 1.0f);
    auto c = [](float v) { return (unsigned char)std::lround(60 + 180 * v); };
    return {c(std::min(1.0f, 2 - 2 * f)), c(std::min(1.0f, 2 * f)), c(0.1f)};
}

}  // namespace

Image<Rgb8> overviewImage(const std::vector<PairCount>& pairs) {
    int n = std::max(int(pairs.size()), 1);
    int rows = (n + columns - 1) / columns;
    Image<Rgb8> img(columns * cellW, rows * cellH);
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) img.at(x, y) = {255, 255, 255};
    std::vector<int> counts;
    for (const PairCount& p : pairs) counts.push_back(p.count);
    std::nth_element(counts.begin(), counts.begin() + counts.size() / 2, counts.end());
    float median = counts.empty() ? 1.0f : std::max(1.0f, float(counts[counts.size() / 2]));
    for (size_t k = 0; k < pairs.size(); ++k) {
        int x0 = int(k % columns) * cellW, y0 = int(k / columns) * cellH;
        Rgb8 fill = colourOf(float(pairs[k].count) / median);
        for (int y = y0 + border; y < y0 + cellH - border; ++y)
            for (int x = x0 + border; x < x0 + cellW - border; ++x) img.at(x, y) = fill;
        drawText(img, fmt::sprintf("%d-%d", pairs[k].i, pairs[k].j), x0 + cellW / 2, y0 + 24, 4);
        drawText(img, fmt::sprintf("%d", pairs[k].count), x0 + cellW / 2, y0 + 64, 7);
    }
    return img;
}

void writeOverview(const std::filesystem::path& dir, const std::vector<PairCount>& pairs) {
    std::filesystem::create_directories(dir);
    writeJPEG(dir / "overview.jpg", overviewImage(pairs));
}
