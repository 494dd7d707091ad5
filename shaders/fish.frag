// Remap pass: output pixel q holds the colour of the source image at the position the camera
// model maps q to (CameraModel::patchToSource), in linear light, with vignetting removed.
// Exact black (0.0) marks output pixels without a source pixel, and only those.
//   BLUR: low-pass the source where it is sampled more coarsely than its own pixels.
//   WHOLE_SOURCE: the source is one mipmapped texture of linear light (not split, not RGBE).
//     A software renderer runs every branch of a shader, taken or not, so this build leaves
//     out the paths such a source never needs.
// The source holds linear light (RGBE texels are decoded here). FISHEYE_ABOVE_FOV and
// MIN_VIEW_Z come from the program's defines (cameraDefines).
#if defined(WHOLE_SOURCE) && (__VERSION__ < 130 || defined(USE_ARRAY_TEXTURE))
#undef WHOLE_SOURCE
#endif
uniform mat3 cameraMat;
uniform float fov;
uniform float lens_a;
uniform float lens_b;
uniform float lens_c;
uniform float lens_d;
uniform float lens_e;
uniform vec2 inSize;
uniform vec2 outSize;
uniform float outFovX;
uniform vec3 vign;
uniform float exposureOffset;
uniform mat3 colorMat;
uniform int texIsMipMap0;

// Direction of output pixel q in the patch's own frame.
vec3 equi(vec2 q) {
    float s = outFovX * 0.017453292 / outSize.x;
    float lambda = (q.x - outSize.x * 0.5) * s;
    float theta = (q.y - outSize.y * 0.5) * s + 1.5707963705062866;
    return vec3(sin(lambda) * sin(theta), cos(theta), cos(lambda) * sin(theta));
}

// acos(z) to float accuracy: some drivers' acos is off by 1e-4 rad, a few hundredths of a
// source pixel, which one Newton step on cos(a) = z mends. Next to the axis the step would
// divide by almost nothing, and the plain acos is accurate enough there.
float preciseAcos(float z) {
    z = clamp(z, -1.0, 1.0);
    float a = acos(z);
    float s = sin(a);
    return s > 0.01 ? a + (cos(a) - z) / s : a;
}

// Source position of a camera-frame unit direction p.
vec2 invLens(vec3 p) {
    float halfFov = fov * 0.017453292 * 0.5;
    float rho = length(p.xy);
    float r = fov <= FISHEYE_ABOVE_FOV ? (rho / p.z) / tan(halfFov) : preciseAcos(p.z) / halfFov;
    float rd = (((lens_a * r + lens_b) * r + lens_c) * r + (1.0 - lens_a - lens_b - lens_c)) * r;
    vec2 dir = rho > 0.0 ? p.xy / rho : vec2(0.0);
    return vec2(lens_d + inSize.x * 0.5 + dir.x * rd * inSize.x * 0.5,
                lens_e + inSize.y * 0.5 - dir.y * rd * inSize.x * 0.5);
}

// True when the source lies in one texture, so that texels can be fetched directly.
bool whole = false;

// Texel px of the source, clamped to its edge, not yet decoded.
vec4 rawTexel(ivec2 px) {
#if __VERSION__ >= 130 && !defined(USE_ARRAY_TEXTURE)
    if (whole) return texelFetch(texUnit0, clamp(px, ivec2(0), texSize0 - 1), 0);
#endif
    return fetchInput(0, px);
}

// Linear colour of source pixel px.
vec3 texel(ivec2 px) {
    return decodeInput(0, rawTexel(px)).rgb;
}

// Catmull-Rom weights of the four taps around fraction t.
vec4 catmullRom(float t) {
    float t2 = t * t, t3 = t2 * t;
    return vec4(-0.5 * t3 + t2 - 0.5 * t, 1.5 * t3 - 2.5 * t2 + 1.0, -1.5 * t3 + 2.0 * t2 + 0.5 * t,
                0.5 * t3 - 0.5 * t2);
}
// Catmull-Rom interpolation between pixel centres of the linear source: sharper than
// bilinear, so that both renderings of a pair keep their detail alike.
vec3 sourceColour(vec2 p) {
    vec2 q = p - 0.5;
    vec2 f = q - floor(q);
    ivec2 i = ivec2(floor(q));
    vec4 wx = catmullRom(f.x), wy = catmullRom(f.y);
    vec3 sum = vec3(0.0);
#if __VERSION__ >= 130 && !defined(USE_ARRAY_TEXTURE)
#ifndef WHOLE_SOURCE
    if (whole && !inputIsRGBE(0))
#endif
    {
        // The two middle taps of each axis weigh alike in sign, so one bilinear fetch between
        // them gives both: 9 filtered fetches instead of 16 texel fetches.
        vec2 w12 = vec2(wx.y + wx.z, wy.y + wy.z);
        vec2 c0 = vec2(i) - 0.5, c3 = vec2(i) + 2.5;
        vec2 c12 = vec2(i) + 0.5 + vec2(wx.z, wy.z) / w12;
        vec2 scale = 1.0 / vec2(texSize0);
        vec3 xs = vec3(c0.x, c12.x, c3.x) * scale.x;
        vec3 ys = vec3(c0.y, c12.y, c3.y) * scale.y;
        vec3 wxs = vec3(wx.x, w12.x, wx.w), wys = vec3(wy.x, w12.y, wy.w);
        for (int y = 0; y < 3; ++y) {
            vec3 row = wxs.x * textureLod(texUnit0, vec2(xs.x, ys[y]), 0.0).rgb +
                       wxs.y * textureLod(texUnit0, vec2(xs.y, ys[y]), 0.0).rgb +
                       wxs.z * textureLod(texUnit0, vec2(xs.z, ys[y]), 0.0).rgb;
            sum += wys[y] * row;
        }
        return max(sum, vec3(0.0));
    }
#endif
#ifndef WHOLE_SOURCE
    for (int y = 0; y < 4; ++y) {
        vec3 row = wx.x * texel(i + ivec2(-1, y - 1)) + wx.y * texel(i + ivec2(0, y - 1)) +
                   wx.z * texel(i + ivec2(1, y - 1)) + wx.w * texel(i + ivec2(2, y - 1));
        sum += wy[y] * row;
    }
    return max(sum, vec3(0.0));
#endif
}

// Bilinear interpolation between pixel centres of the linear source.
vec3 bilinearColour(vec2 p) {
#if __VERSION__ >= 130 && !defined(USE_ARRAY_TEXTURE)
    if (whole && !inputIsRGBE(0)) return textureLod(texUnit0, p / vec2(texSize0), 0.0).rgb;
#endif
    return sampleInput(0, p).rgb;
}

// The source around p low-passed over a footprint whose axes are du and dv: nine bilinear
// samples spread over it, where the source has no prefiltered levels.
vec3 lowPass(vec2 p, vec2 du, vec2 dv) {
    vec3 sum = vec3(0.0);
    for (int a = -1; a <= 1; ++a)
        for (int b = -1; b <= 1; ++b)
            sum += bilinearColour(p + (float(a) * du + float(b) * dv) / 3.0);
    return sum / 9.0;
}

void main() {
    // Output pixel q is the integer position whose centre this fragment is.
#if __VERSION__ >= 130 && !defined(USE_ARRAY_TEXTURE)
    whole = textureSize(texUnit0, 0).x == texSize0.x;
#endif
    vec2 q = floor(outputPosition());
    vec3 dir = cameraMat * equi(q);
    vec2 uv = invLens(dir);
#ifdef BLUR
    // Source pixels covered by one output pixel along each output axis, from the neighbours in
    // the fragment's quad, taken before any branch while they all run.
    vec2 du = dFdx(uv), dv = dFdy(uv);
#endif
    // A fisheye's image circle ends half its field of view off the axis.
    bool visible = dir.z >= MIN_VIEW_Z &&
                   (fov <= FISHEYE_ABOVE_FOV || dir.z >= cos(fov * 0.017453292 * 0.5)) && uv.x >= 0.0 &&
                   uv.x < inSize.x && uv.y >= 0.0 && uv.y < inSize.y - 1.0;
#ifdef BLUR
    // The prefiltered level the footprint picks, fetched before any branch so that the texture
    // unit takes the footprint from neighbouring fragments: a level chosen per pixel
    // (textureLod) costs a software renderer several times as much.
    bool prefiltered = false;
    vec3 level = vec3(0.0);
#if __VERSION__ >= 130 && !defined(USE_ARRAY_TEXTURE)
#ifdef WHOLE_SOURCE
    prefiltered = true;
#else
    prefiltered = whole && texIsMipMap0 != 0 && !inputIsRGBE(0);
#endif
    if (prefiltered) level = texture(texUnit0, uv / vec2(texSize0)).rgb;
#endif
#endif
    if (!visible) {
        fragColor = vec4(0.0, 0.0, 0.0, 1.0);
        return;
    }

    vec3 colour;
#ifdef BLUR
    if (max(length(du), length(dv)) > 1.0) {
#ifdef WHOLE_SOURCE
        colour = level;
#else
        if (prefiltered)
            colour = level;
        else
            colour = lowPass(uv, du, dv);
#endif
    } else
#endif
        colour = sourceColour(uv);

    vec2 centred = uv - inSize * 0.5;
    float r2 = dot(centred, centred) / (0.25 * dot(inSize, inSize));
    colour /= 1.0 + r2 * (vign.x + r2 * (vign.y + r2 * vign.z));
    colour = colorMat * (colour * exp2(exposureOffset));
    // Dark source pixels must stay distinguishable from "no source pixel".
    fragColor = vec4(max(colour, vec3(1e-4)), 1.0);
}
