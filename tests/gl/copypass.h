#pragma once
// Runs the test pass shaders/test_copy.frag and reads its result back.
#include <glm/vec2.hpp>
#include <vector>

#include "Shader.h"
#include "Texture.h"

// Uniforms of one test_copy pass.
struct CopyPass {
    int mode = 0;
    int which = 0;
    glm::vec2 offset = glm::vec2(0);
};

// Sets the pass's uniforms on the current test_copy program.
inline void setCopyUniforms(const Shader& shader, const CopyPass& pass) {
    shader.use(true);
    shader.setUniform1i("mode", pass.mode);
    if (shader.hasUniform("which")) shader.setUniform1i("which", pass.which);
    if (shader.hasUniform("offset")) shader.setUniform2f("offset", pass.offset.x, pass.offset.y);
}

// All pixels of a target as RGBA floats, memory row 0 = framebuffer row 0.
inline std::vector<float> readRGBA(const Texture& target) {
    std::vector<float> pixels(size_t(4) * target.width * target.height);
    target.readPixels(pixels.data(), GL_RGBA, GL_FLOAT, 0, 0, 0, 0);
    return pixels;
}

// Renders src through test_copy into a new w x h target of the format and reads it back.
inline std::vector<float> copyPass(const Shader& shader, const Texture& src, const CopyPass& pass,
                                   int w, int h, int internalFormat = GL_RGBA32F) {
    setCopyUniforms(shader, pass);
    Texture target(w, h, internalFormat);
    renderTo(target, src, true);
    return readRGBA(target);
}

// Sets the texture size limit for one scope.
struct MaxTextureSize {
    explicit MaxTextureSize(int size) { Texture::maxTextureSizeOverride = size; }
    ~MaxTextureSize() { Texture::maxTextureSizeOverride = 0; }
};
