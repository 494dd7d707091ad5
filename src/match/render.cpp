#include "match/render.h"

#include "gl/shader.h"
#include "gl/texture.h"
#include "base/timer.h"
#include "imageio/half_float.h"

namespace {
std::unique_ptr<Shader> remapProgram(const std::string& defines) {
    auto s = std::make_unique<Shader>("fish", defines);
    s->use(true);
    s->setUniform1f("exposureOffset", 0.0f);
    s->setUniformMatrix3fv("colorMat", glm::mat3(1.0f));
    return s;
}
}  // namespace

RemapShaders::RemapShaders(bool fisheye) : defines(cameraDefines() + "#define BLUR\n") {
    if (fisheye) defines += "#define FISHEYE\n";
    whole = remapProgram(defines + "#define WHOLE_SOURCE\n");
}

Shader& RemapShaders::forSource(const Texture& t) {
    bool one = t.numTextures == 1 && t.tileWidth == t.width;
    if (one && t.isMipMap && !t.isRGBE) return *whole;
    if (!general) general = remapProgram(defines);
    return *general;
}

CameraModel patchCamera(const ImageParameters& image, vec2 view, float outFovX, vec2 inSize,
                        vec2 outSize, float viewRoll) {
    CameraModel m(image);
    m.view = view;
    m.viewRoll = viewRoll;
    // The model describes the loaded source, which may be smaller than the project's image
    // (a raw file's preview): the centre shift scales with it.
    m.inSize = inSize;
    if (image.width > 0 && image.height > 0) {
        m.projectScale = vec2(float(image.width), float(image.height)) / m.inSize;
        m.d = image.d / m.projectScale.x;
        m.e = image.e / m.projectScale.y;
    }
    m.outSize = outSize;
    m.outFovX = outFovX;
    return m;
}

CameraModel render(Shader& shader, const ImageParameters& image, vec2 view, float outFovX,
                   const Texture& in, Texture& out, float viewRoll) {
    shader.use(true);
    CameraModel m = patchCamera(image, view, outFovX, vec2(float(in.width), float(in.height)),
                                vec2(float(out.width), float(out.height)), viewRoll);

    shader.setUniformMatrix3fv("cameraMat", m.patchToCamera());
    shader.setUniform1f("fov", image.v);
    shader.setUniform1f("lens_a", image.a);
    shader.setUniform1f("lens_b", image.b);
    shader.setUniform1f("lens_c", image.c);
    shader.setUniform1f("lens_d", m.d);
    shader.setUniform1f("lens_e", m.e);
    shader.setUniform2f("inSize", m.inSize.x, m.inSize.y);
    shader.setUniform2f("outSize", m.outSize.x, m.outSize.y);
    shader.setUniform1f("outFovX", outFovX);
    shader.setUniform3f("vign", image.Vb, image.Vc, image.Vd);

    // The shader merges Catmull-Rom taps by bilinear fetches and low-passes from levels.
    for (int k = 0; k < in.numTextures; ++k) {
        glBindTexture(Texture::_target, in.textures[k]);
        glTexParameteri(Texture::_target, GL_TEXTURE_MIN_FILTER,
                        in.isMipMap ? GL_LINEAR_MIPMAP_LINEAR : GL_LINEAR);
        glTexParameteri(Texture::_target, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    }
    renderTo(out, in, true);
    glFinish();
    lapTimer().print("render (korvel)");
    return m;
}

Image<RgbPixel<float>> readRendering(const Texture& tex) {
    Image<RgbPixel<float>> img(tex.width, tex.height);
    std::vector<uint16_t> halves(size_t(3) * tex.width * tex.height);
    tex.readPixels(halves.data(), GL_RGB, GL_HALF_FLOAT, 0, 0, tex.width, tex.height);
    halvesToFloats(halves.data(), reinterpret_cast<float*>(img.data), halves.size());
    return img;
}
