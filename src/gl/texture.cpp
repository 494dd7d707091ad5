#include "gl/texture.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fmt/printf.h>
#include <stdexcept>

#include "gl/shader.h"
#include "gl/context.h"

GLenum Texture::_target = GL_TEXTURE_2D;
bool Texture::generateMipMap = false;
int Texture::maxTextureSizeOverride = 0;

int Texture::glTypeSize(unsigned type) {
    switch (type) {
        case GL_UNSIGNED_BYTE:
            return 1;
        case GL_UNSIGNED_SHORT:
            return 2;
        case GL_HALF_FLOAT:
            return 2;
        case GL_FLOAT:
            return 4;
    }
    throw std::runtime_error(fmt::sprintf("unknown GL pixel type: %d", type));
}

int Texture::glComponents(unsigned format) {
    switch (format) {
        case GL_RED:
            return 1;
        case GL_RGB:
            return 3;
        case GL_RGBA:
            return 4;
    }
    throw std::runtime_error(fmt::sprintf("unknown GL format: %d", format));
}

int Texture::glInternalFormat(unsigned format, unsigned type) {
    static const struct {
        unsigned type;
        int red, rgb, rgba;
    } table[] = {
        {GL_UNSIGNED_BYTE, GL_R8, GL_RGB8, GL_RGBA8},
        {GL_UNSIGNED_SHORT, GL_R16, GL_RGB16, GL_RGBA16},
        {GL_FLOAT, GL_R32F, GL_RGB32F, GL_RGBA32F},
        {GL_HALF_FLOAT, GL_R16F, GL_RGB16F, GL_RGBA16F},
    };
    for (auto& row : table) {
        if (row.type != type) continue;
        switch (format) {
            case GL_RED:
                return row.red;
            case GL_RGB:
                return row.rgb;
            case GL_RGBA:
                return row.rgba;
        }
        throw std::runtime_error(fmt::sprintf("unknown GL format: %d", format));
    }
    throw std::runtime_error(fmt::sprintf("unknown GL pixel type: %d", type));
}

TextureSplit textureSplit(int width, int height, int maxSize) {
    // Very wide images split at 8192 even where more is allowed.
    if (height <= 8192 && width >= 10001) maxSize = std::min(maxSize, 8192);
    if (maxSize < height || 2 * int64_t(maxSize) < width)
        throw opengl_error(fmt::sprintf("Maximum texture size of GPU is too small (%dx%d > %d)",
                                        width, height, maxSize));
    bool split = width > maxSize;
    return {maxSize, split ? width / 2 : width, split};
}

namespace {
void createTexture(GLenum target, GLuint* name, int width, int height, int layers, bool mipmap,
                   int internalFormat, GLenum format, GLenum type, const void* data, int rowBytes) {
    glGenTextures(1, name);
    glBindTexture(target, *name);
    glTexParameteri(target, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(target, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    // Only 8-bit colour is interpolated; float and RGBE texels are filtered by the shaders.
    GLint filter =
        internalFormat == GL_RGB8 || internalFormat == GL_LUMINANCE8 ? GL_LINEAR : GL_NEAREST;
    glTexParameteri(target, GL_TEXTURE_MIN_FILTER, filter);
    glTexParameteri(target, GL_TEXTURE_MAG_FILTER, filter);
    if (target == GL_TEXTURE_2D_ARRAY) {
        glTexStorage3D(target, 1, internalFormat, width, height, layers);
    } else if (glewIsSupported("GL_VERSION_4_2")) {
        int levels = mipmap ? int(std::log2(std::max(width, height))) : 1;
        glTexStorage2D(target, levels, internalFormat, width, height);
    } else {
        glTexImage2D(target, 0, internalFormat, width, height, 0, format, type, nullptr);
    }
    GL_CHECK();
    int pixelBytes = Texture::glComponents(format) * Texture::glTypeSize(type);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, int(unsigned(rowBytes) / unsigned(pixelBytes)));
    glPixelStorei(GL_UNPACK_ALIGNMENT, rowBytes % 4 == 0 ? 4 : 1);
    if (data) {
        if (target == GL_TEXTURE_2D_ARRAY) {
            glTexSubImage3D(target, 0, 0, 0, 0, width, height, 1, format, type, data);
            if (layers == 2)
                glTexSubImage3D(target, 0, 0, 0, 1, width, height, 1, format, type,
                                static_cast<const uint8_t*>(data) + size_t(width) * pixelBytes);
        } else {
            glTexSubImage2D(target, 0, 0, 0, width, height, format, type, data);
        }
        if (mipmap) glGenerateMipmap(target);
    }
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    GL_CHECK();
}

// Attaches level 0 (layer 0 of an array) of texture as colour attachment k.
void attach(GLenum attachment, GLuint texture) {
    if (Texture::_target == GL_TEXTURE_2D_ARRAY)
        glFramebufferTextureLayer(GL_FRAMEBUFFER, attachment, texture, 0, 0);
    else
        glFramebufferTexture2D(GL_FRAMEBUFFER, attachment, GL_TEXTURE_2D, texture, 0);
}

void clearTarget() {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
}
}  // namespace

Texture::Texture(int width, int height, int internalFormat) {
    try {
        setup(width, height, internalFormat, GL_RGBA, GL_UNSIGNED_BYTE, nullptr, 0);
    } catch (...) {
        release();
        throw;
    }
}

Texture::~Texture() {
    release();
}

void Texture::release() {
    glDeleteTextures(numTextures, textures);
    if (framebuffer) glDeleteFramebuffers(1, &framebuffer);
    numTextures = 0;
    framebuffer = 0;
}

void Texture::setup(int width_, int height_, int internalFormat, unsigned format, unsigned type,
                    const void* data, int rowBytes) {
    GLint maxSize = maxTextureSizeOverride;
    if (!maxSize) glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maxSize);
    TextureSplit split = textureSplit(width_, height_, maxSize);
    isHDR = internalFormat == GL_RGB16F || internalFormat == GL_RGBA8;
    isRGBE = internalFormat == GL_RGBA8;
    isMipMap = generateMipMap && !isRGBE && data;
    generateMipMap = false;
    width = width_;
    height = height_;
    tileWidth = split.tileWidth;
    tileHeight = height;
    int pixelBytes = glComponents(format) * glTypeSize(type);
    if (rowBytes == 0) rowBytes = pixelBytes * width;
    int layers = _target == GL_TEXTURE_2D_ARRAY && split.split ? 2 : 1;
    createTexture(_target, &textures[numTextures++], tileWidth, height, layers, isMipMap,
                  internalFormat, format, type, data, rowBytes);
    if (_target == GL_TEXTURE_2D && split.split) {
        const void* right =
            data ? static_cast<const uint8_t*>(data) + size_t(tileWidth) * pixelBytes : nullptr;
        createTexture(GL_TEXTURE_2D, &textures[numTextures++], tileWidth, height, 1, isMipMap,
                      internalFormat, format, type, right, rowBytes);
    }
    if (!data) bindFB();
}

unsigned Texture::bind(unsigned unit) const {
    int k = int(unit - GL_TEXTURE0);
    GLint program = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &program);
    auto loc = [&](const char* base) {
        return glGetUniformLocation(GLuint(program), fmt::sprintf("%s%d", base, k).c_str());
    };
    if (glVersion() < 30) glUniform3i(loc("tileSize"), tileWidth, tileHeight, numTextures);
    glUniform2i(loc("texSize"), width, height);
    glUniform1i(loc("texIsRGBE"), isRGBE);
    glUniform1i(loc("texIsHDR"), isHDR);
    glUniform1i(loc("texIsMipMap"), isMipMap);
    GL_CHECK();
    for (int i = 0; i < numTextures; ++i) {
        glActiveTexture(unit + i);
        glBindTexture(_target, textures[i]);
    }
    glActiveTexture(unit);
    return unit + numTextures;
}

void Texture::bindFB() const {
    if (framebuffer) {
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
        glDrawBuffer(GL_COLOR_ATTACHMENT0);
        return;
    }
    glGenFramebuffers(1, &framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    attach(GL_COLOR_ATTACHMENT0, textures[0]);
    FRAMEBUFFER_CHECK();
    GL_CHECK();
    glDrawBuffer(GL_COLOR_ATTACHMENT0);
}

void Texture::readPixels(void* dst, unsigned format, unsigned type, int x, int y, int w,
                         int h) const {
    if (w == 0) w = width - x;
    if (h == 0) h = height - y;
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    bindFB();
    glReadBuffer(GL_COLOR_ATTACHMENT0);
    if (int64_t(w) * h <= 4096 * 4096) {
        glReadPixels(x, y, w, h, format, type, dst);
        return;
    }
    // Large reads go in bands of at most 8 Mpixel.
    GLint rowLength = 0;
    glGetIntegerv(GL_PACK_ROW_LENGTH, &rowLength);
    if (rowLength == 0) rowLength = w;
    int band = 8388608 / w;
    size_t rowBytes = size_t(glComponents(format)) * glTypeSize(type) * rowLength;
    for (int r = 0; r < h; r += band)
        glReadPixels(x, y + r, w, std::min(band, h - r), format, type,
                     static_cast<uint8_t*>(dst) + rowBytes * r);
}

void Texture::clear() {
    bindFB();
    glViewport(0, 0, width, height);
    clearTarget();
}

void renderTo(Texture& dst, const Texture& src, bool clear) {
    src.bind(GL_TEXTURE0);
    dst.bindFB();
    if (clear) clearTarget();
    Shader::execute(dst.width, dst.height, false);
}

void renderTo(Texture& dst, const Texture& src0, const Texture& src1, bool clear) {
    src1.bind(src0.bind(GL_TEXTURE0));
    dst.bindFB();
    if (clear) clearTarget();
    Shader::execute(dst.width, dst.height, false);
}

void renderTo2(Texture& dst0, Texture& dst1, const Texture& src, bool clear) {
    src.bind(GL_TEXTURE0);
    GLuint framebuffer = 0;
    glGenFramebuffers(1, &framebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    attach(GL_COLOR_ATTACHMENT0, dst0.textures[0]);
    attach(GL_COLOR_ATTACHMENT1, dst1.textures[0]);
    const GLenum buffers[2] = {GL_COLOR_ATTACHMENT0, GL_COLOR_ATTACHMENT1};
    glDrawBuffers(2, buffers);
    try {
        FRAMEBUFFER_CHECK();
        GL_CHECK();
        if (clear) clearTarget();
        Shader::execute(dst0.width, dst0.height, false);
    } catch (...) {
        glDeleteFramebuffers(1, &framebuffer);
        throw;
    }
    glDeleteFramebuffers(1, &framebuffer);
}
