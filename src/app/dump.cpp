#include "app/dump.h"

#include <cmath>
#include <filesystem>
#include <fmt/printf.h>

#include "imageio/jpeg_writer.h"

namespace {

using Rgb8 = RgbPixel<unsigned char>;

unsigned char encodeSRGB(float linear) {
    float c = std::fmin(std::fmax(linear, 0.0f), 1.0f);
    float s = c <= 0.0031308f ? 12.92f * c : 1.055f * std::pow(c, 1 / 2.4f) - 0.055f;
    return (unsigned char)std::lround(s * 255);
}

Image<Rgb8> toSRGB(const ImageView<RgbPixel<float>>& img) {
    Image<Rgb8> out(img.width, img.height);
    for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x) {
            const RgbPixel<float>& p = img.at(x, y);
            out.at(x, y) = {encodeSRGB(p.r), encodeSRGB(p.g), encodeSRGB(p.b)};
        }
    return out;
}

// A square outline of half side r around (cx, cy).
void mark(Image<Rgb8>& img, float cx, float cy, int r, Rgb8 colour) {
    int x0 = int(std::lround(cx)), y0 = int(std::lround(cy));
    for (int d = -r; d <= r; ++d)
        for (auto [x, y] : {std::pair(x0 + d, y0 - r), std::pair(x0 + d, y0 + r),
                            std::pair(x0 - r, y0 + d), std::pair(x0 + r, y0 + d)})
            if (x >= 0 && y >= 0 && x < img.width && y < img.height) img.at(x, y) = colour;
}

}  // namespace

void dumpPair(const std::string& dir, int i, int j, const ImageView<RgbPixel<float>>& imgA,
              const ImageView<RgbPixel<float>>& imgB, const CornerLists& corners) {
    const std::vector<corner_t>&good = corners.good, &bad = corners.bad, &ignored = corners.ignored;
    const std::vector<glm::vec2>& goodInB = corners.goodInB;
    const Rgb8 green{0, 255, 0}, red{255, 0, 0}, blue{40, 120, 255};
    Image<Rgb8> a = toSRGB(imgA), b = toSRGB(imgB);
    for (const corner_t& c : ignored) mark(a, float(c.x), float(c.y), 1, blue);
    for (const corner_t& c : bad) mark(a, float(c.x), float(c.y), 3, red);
    for (size_t k = 0; k < good.size(); ++k) {
        mark(a, float(good[k].x), float(good[k].y), 5, green);
        mark(b, goodInB[k].x, goodInB[k].y, 5, green);
    }
    std::filesystem::create_directories(dir);
    std::filesystem::path base = std::filesystem::path(dir) / fmt::sprintf("pair-%02d-%02d", i, j);
    writeJPEG(base.string() + "-A.jpg", a);
    writeJPEG(base.string() + "-B.jpg", b);
}
