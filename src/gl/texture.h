#pragma once
// GPU images: inputs uploaded from memory or files, render targets, and one-pass rendering.
#include <GL/glew.h>

#include <filesystem>

using std::filesystem::path;

struct SourceImage;

// Size of the GL textures an image is stored in; images wider than the GPU allows are split
// into a left and a right half.
struct TextureSplit {
    int maxSize;    // the texture size limit that applies to this image
    int tileWidth;  // width of each half, or the whole width when not split
    bool split;     // stored as two halves
};

// An image on the GPU: one texture, or two halves (two textures, or two layers of one array
// texture under USE_ARRAY_TEXTURE); owns its GL objects.
class Texture {
public:
    GLuint textures[2] = {0, 0};     // the first numTextures are valid
    int numTextures = 0;             // 2 when split into two textures
    mutable GLuint framebuffer = 0;  // created by the first bindFB
    int width = 0, height = 0;
    int tileWidth = 0, tileHeight = 0;                 // size of each texture or layer
    bool isHDR = false;                                // GL_RGB16F or GL_RGBA8 (RGBE)
    bool isRGBE = false;                               // GL_RGBA8: texels are Radiance RGBE bytes
    bool isMipMap = false;                             // mipmaps were built
    double meanScale = 0, minScale = 0, maxScale = 0;  // 2^exponent statistics of Radiance images

    // GL_TEXTURE_2D_ARRAY under USE_ARRAY_TEXTURE, else GL_TEXTURE_2D; set by startGl.
    static GLenum _target;
    // One-shot request for mipmaps on the next setup from data.
    static bool generateMipMap;
    // When not 0, replaces GL_MAX_TEXTURE_SIZE in setup (lets tests force splits).
    static int maxTextureSizeOverride;

    // No GL objects yet; setup gives the texture its content.
    Texture() = default;
    // Render target of the given internal format.
    Texture(int width, int height, int internalFormat);
    // Input image read from any file readImageFile reads. With linear, colour is decoded to
    // linear light on upload (GL_RGB16F), so that shaders fetch it ready to filter; light from
    // floats always is.
    explicit Texture(const path& file, bool linear = false);
    // Input image decoded from a file, uploaded as the file constructor does.
    explicit Texture(const SourceImage& image, bool linear = false);
    // Deletes the textures and the framebuffer.
    ~Texture();
    Texture(const Texture&) = delete;
    Texture& operator=(const Texture&) = delete;

    // Creates the GL objects and uploads data (rows top first, rowBytes apart, 0 = packed);
    // without data makes a render target.
    void setup(int width, int height, int internalFormat, unsigned format, unsigned type,
               const void* data, int rowBytes);
    // Binds the texture(s) from unit (GL_TEXTURE0 + k) on, sets the uniforms texSize<k>,
    // texIsRGBE<k>, texIsHDR<k>, texIsMipMap<k> (and tileSize<k> below GL 3.0) of the current
    // program and returns the next free unit.
    unsigned bind(unsigned unit) const;
    // Makes this texture the render target.
    void bindFB() const;
    // Reads the w x h rectangle at (x, y) of the target (0 = to the edge); memory row 0 is
    // framebuffer row y.
    void readPixels(void* dst, unsigned format, unsigned type, int x = 0, int y = 0, int w = 0,
                    int h = 0) const;
    // Clears colour and depth of the whole image.
    void clear();

    // Bytes per component of a GL pixel type.
    static int glTypeSize(unsigned type);
    // Components per pixel of a GL pixel format.
    static int glComponents(unsigned format);
    // Sized internal format for a pixel format and type.
    static int glInternalFormat(unsigned format, unsigned type);

private:
    // Uploads a decoded file.
    void load(const SourceImage& image, bool linear);
    // Deletes the GL objects made so far.
    void release();
};

// Where an image of this size goes on a GPU whose texture size limit is maxSize; throws
// opengl_error when it does not fit.
TextureSplit textureSplit(int width, int height, int maxSize);

// One pass: src on unit 0, the current shader drawn into dst.
void renderTo(Texture& dst, const Texture& src, bool clear);
// One pass with two inputs: src0 from unit 0, src1 on the next free unit.
void renderTo(Texture& dst, const Texture& src0, const Texture& src1, bool clear);
// One pass with two outputs: the shader's outputs 0 and 1 go to dst0 and dst1.
void renderTo2(Texture& dst0, Texture& dst1, const Texture& src, bool clear);
