// Prelude of every fragment shader, compiled after the version line and the defines.
//
// Input k is the image bound from texture unit k (renderTo binds its first input from unit 0,
// the second on the next free unit). Positions are continuous pixel positions p = (u, v) of
// that image: pixel (i, j) covers [i, i+1) x [j, j+1) with its centre at (i + 0.5, j + 0.5);
// row 0 is the first row of the uploaded image (its top) and the first row of a read-back.
// Images too wide for the GPU lie in two halves (two textures or two array layers); the
// helpers join them again, so shaders never see the split.
//
//   ivec2 inputSize(int k)             size of input k in pixels
//   bool  inputIsRGBE(int k)           input k holds Radiance RGBE bytes
//   bool  inputIsHDR(int k)            input k is RGBE or a half-float RGB image
//   int   nextInput(int k)             index of the input bound after input k: k + 2 when
//                                      input k lies in two textures, else k + 1 (the second
//                                      input of renderTo(dst, src0, src1) is nextInput(0))
//   bool  insideInput(int k, vec2 p)   0 <= p < inputSize(k) on both axes
//   vec4  fetchInput(int k, ivec2 px)  raw texel of pixel px, clamped to the image, RGBE not
//                                      decoded
//   vec4  decodeRGBE(vec4 texel)       linear colour of an RGBE texel, (m + 0.5) * 2^(e - 136)
//                                      per channel, alpha 1; exponent 0 gives black (0, 0, 0, 1)
//   vec4  decodeInput(int k, vec4 t)   decodeRGBE(t) when input k is RGBE, else t unchanged
//   vec4  readInput(int k, vec2 p)     decoded value of the pixel that contains p (nearest)
//   vec4  sampleInput(int k, vec2 p)   decoded value at p, bilinear between the four nearest
//                                      pixel centres (RGBE is decoded before interpolating),
//                                      clamped to the edge pixels; exact texel at a centre
//   vec2  outputPosition()             position of this fragment in the target, in pixels
//                                      (centre of output pixel (i, j) is (i + 0.5, j + 0.5))
//
// Outputs: write fragColor (and fragColor1, the second target of renderTo2); they stand for
// gl_FragData[0] and [1] before GLSL 3.30. _gl_TexCoord is the interpolated pixel position.
// A .vert file of its own writes _gl_TexCoord (GLSL 3.30) or gl_TexCoord[0] (older).
// Also taken here: inputTileWidth, fetchUnit and the STDLIB_ macros.

#if __VERSION__ < 130 && defined(USE_ARRAY_TEXTURE)
#extension GL_EXT_texture_array : enable
#endif

#ifdef USE_ARRAY_TEXTURE
#define STDLIB_SAMPLER sampler2DArray
#else
#define STDLIB_SAMPLER sampler2D
#endif

uniform STDLIB_SAMPLER texUnit0, texUnit1, texUnit2, texUnit3, texUnit4, texUnit5;
uniform ivec2 texSize0, texSize1, texSize2, texSize3, texSize4, texSize5;
uniform int texIsRGBE0, texIsRGBE1, texIsRGBE2, texIsRGBE3, texIsRGBE4, texIsRGBE5;
uniform int texIsHDR0, texIsHDR1, texIsHDR2, texIsHDR3, texIsHDR4, texIsHDR5;
#if __VERSION__ < 130
// (tile width, tile height, number of textures), set below GL 3.0 only.
uniform ivec3 tileSize0, tileSize1, tileSize2, tileSize3, tileSize4, tileSize5;
#endif

#if __VERSION__ >= 330
in vec2 _gl_TexCoord;
layout(location = 0) out vec4 fragColor;
layout(location = 1) out vec4 fragColor1;
#else
#define _gl_TexCoord gl_TexCoord[0].xy
#define fragColor gl_FragData[0]
#define fragColor1 gl_FragData[1]
#endif

ivec2 inputSize(int k) {
    if (k == 0) return texSize0;
    if (k == 1) return texSize1;
    if (k == 2) return texSize2;
    if (k == 3) return texSize3;
    if (k == 4) return texSize4;
    return texSize5;
}

bool inputIsRGBE(int k) {
    if (k == 0) return texIsRGBE0 != 0;
    if (k == 1) return texIsRGBE1 != 0;
    if (k == 2) return texIsRGBE2 != 0;
    if (k == 3) return texIsRGBE3 != 0;
    if (k == 4) return texIsRGBE4 != 0;
    return texIsRGBE5 != 0;
}

bool inputIsHDR(int k) {
    if (k == 0) return texIsHDR0 != 0;
    if (k == 1) return texIsHDR1 != 0;
    if (k == 2) return texIsHDR2 != 0;
    if (k == 3) return texIsHDR3 != 0;
    if (k == 4) return texIsHDR4 != 0;
    return texIsHDR5 != 0;
}

// Width of each stored half of input k, or its whole width when it is not split.
int inputTileWidth(int k) {
#if __VERSION__ >= 130
    if (k == 0) return textureSize(texUnit0, 0).x;
    if (k == 1) return textureSize(texUnit1, 0).x;
    if (k == 2) return textureSize(texUnit2, 0).x;
    if (k == 3) return textureSize(texUnit3, 0).x;
    if (k == 4) return textureSize(texUnit4, 0).x;
    return textureSize(texUnit5, 0).x;
#else
    if (k == 0) return tileSize0.x;
    if (k == 1) return tileSize1.x;
    if (k == 2) return tileSize2.x;
    if (k == 3) return tileSize3.x;
    if (k == 4) return tileSize4.x;
    return tileSize5.x;
#endif
}

int nextInput(int k) {
#ifdef USE_ARRAY_TEXTURE
    return k + 1;
#else
    return inputTileWidth(k) < inputSize(k).x ? k + 2 : k + 1;
#endif
}

// Texel px of layer `layer` of the texture on `unit`, whose size is `tile`.
vec4 fetchUnit(int unit, int layer, ivec2 px, vec2 tile) {
#if __VERSION__ >= 130
#ifdef USE_ARRAY_TEXTURE
#define STDLIB_FETCH(s) texelFetch(s, ivec3(px, layer), 0)
#else
#define STDLIB_FETCH(s) texelFetch(s, px, 0)
#endif
#else
    // Texel centres give the texel itself under both filters.
    vec2 tc = (vec2(px) + 0.5) / tile;
#ifdef USE_ARRAY_TEXTURE
#define STDLIB_FETCH(s) texture2DArray(s, vec3(tc, float(layer)))
#else
#define STDLIB_FETCH(s) texture2D(s, tc)
#endif
#endif
    if (unit == 0) return STDLIB_FETCH(texUnit0);
    if (unit == 1) return STDLIB_FETCH(texUnit1);
    if (unit == 2) return STDLIB_FETCH(texUnit2);
    if (unit == 3) return STDLIB_FETCH(texUnit3);
    if (unit == 4) return STDLIB_FETCH(texUnit4);
    return STDLIB_FETCH(texUnit5);
}

vec4 fetchInput(int k, ivec2 px) {
    ivec2 size = inputSize(k);
    int tile = inputTileWidth(k);
    vec2 p = clamp(vec2(px), vec2(0.0), vec2(size) - 1.0);
    int x = int(p.x);
    int right = 0;
    if (x >= tile) {
        // The last column of an odd width split in two was not uploaded.
        x = int(min(p.x - float(tile), float(tile - 1)));
        right = 1;
    }
#ifdef USE_ARRAY_TEXTURE
    return fetchUnit(k, right, ivec2(x, int(p.y)), vec2(float(tile), float(size.y)));
#else
    return fetchUnit(k + right, 0, ivec2(x, int(p.y)), vec2(float(tile), float(size.y)));
#endif
}

vec4 decodeRGBE(vec4 texel) {
    float e = floor(texel.a * 255.0 + 0.5);
    if (e == 0.0) return vec4(0.0, 0.0, 0.0, 1.0);
    return vec4((floor(texel.rgb * 255.0 + 0.5) + 0.5) * exp2(e - 136.0), 1.0);
}

vec4 decodeInput(int k, vec4 t) {
    return inputIsRGBE(k) ? decodeRGBE(t) : t;
}

bool insideInput(int k, vec2 p) {
    return all(greaterThanEqual(p, vec2(0.0))) && all(lessThan(p, vec2(inputSize(k))));
}

vec4 readInput(int k, vec2 p) {
    return decodeInput(k, fetchInput(k, ivec2(floor(p))));
}

vec4 sampleInput(int k, vec2 p) {
    vec2 q = p - 0.5;
    vec2 f = q - floor(q);
    ivec2 i = ivec2(floor(q));
    vec4 a = decodeInput(k, fetchInput(k, i));
    vec4 b = decodeInput(k, fetchInput(k, i + ivec2(1, 0)));
    vec4 c = decodeInput(k, fetchInput(k, i + ivec2(0, 1)));
    vec4 d = decodeInput(k, fetchInput(k, i + ivec2(1, 1)));
    return mix(mix(a, b, f.x), mix(c, d, f.x), f.y);
}

vec2 outputPosition() {
    return _gl_TexCoord;
}
