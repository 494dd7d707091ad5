// Remap pass: output pixel q holds the colour of the source image at the position the camera
// model maps q to (CameraModel::dest2source), in linear light, with vignetting removed.
// Exact black (0.0) marks output pixels without a source pixel, and only those.
//   BLUR: low-pass the source where it is sampled more coarsely than its own pixels.
//   LDR:  the source is sRGB-encoded 8-bit; otherwise it is linear (Radiance).
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

// Direction of output pixel q in the patch's own frame.
vec3 equi(vec2 q) {
    float s = outFovX * 0.017453292 / outSize.x;
    float lambda = (q.x - outSize.x * 0.5) * s;
    float theta = (q.y - outSize.y * 0.5) * s + 1.5707963705062866;
    return vec3(sin(lambda) * sin(theta), cos(theta), cos(lambda) * sin(theta));
}

// Source position of a camera-frame unit direction p.
vec2 invLens(vec3 p) {
    float halfFov = fov * 0.017453292 * 0.5;
    float rho = length(p.xy);
    float r = fov <= 80.0 ? (rho / p.z) / tan(halfFov) : acos(clamp(p.z, -1.0, 1.0)) / halfFov;
    float rd = (((lens_a * r + lens_b) * r + lens_c) * r + (1.0 - lens_a - lens_b - lens_c)) * r;
    vec2 dir = rho > 0.0 ? p.xy / rho : vec2(0.0);
    return vec2(lens_d + inSize.x * 0.5 + dir.x * rd * inSize.x * 0.5,
                lens_e + inSize.y * 0.5 - dir.y * rd * inSize.x * 0.5);
}

vec2 sourcePosition(vec2 q) { return invLens(cameraMat * equi(q)); }

vec3 srgbToLinear(vec3 c) {
    vec3 lo = c / 12.92;
    vec3 hi = pow((c + 0.055) / 1.055, vec3(2.4));
    return mix(lo, hi, step(vec3(0.04045), c));
}

// Linear colour of source pixel px.
vec3 texel(ivec2 px) {
    vec3 c = decodeInput(0, fetchInput(0, px)).rgb;
#ifdef LDR
    c = srgbToLinear(c);
#endif
    return c;
}

// Bilinear between pixel centres, each decoded to linear light first.
vec3 sourceColour(vec2 p) {
    vec2 q = p - 0.5;
    vec2 f = q - floor(q);
    ivec2 i = ivec2(floor(q));
    vec3 a = texel(i), b = texel(i + ivec2(1, 0));
    vec3 c = texel(i + ivec2(0, 1)), d = texel(i + ivec2(1, 1));
    return mix(mix(a, b, f.x), mix(c, d, f.x), f.y);
}

void main() {
    // Output pixel q is the integer position whose centre this fragment is.
    vec2 q = floor(outputPosition());
    vec3 dir = cameraMat * equi(q);
    vec2 uv = invLens(dir);
    bool visible = dir.z >= 0.2 && uv.x >= 0.0 && uv.x < inSize.x && uv.y >= 0.0 &&
                   uv.y < inSize.y - 1.0;
    if (!visible) {
        fragColor = vec4(0.0, 0.0, 0.0, 1.0);
        return;
    }

    vec3 colour = sourceColour(uv);
#ifdef BLUR
    // Source pixels covered by one output pixel along each output axis.
    vec2 du = sourcePosition(q + vec2(1.0, 0.0)) - uv;
    vec2 dv = sourcePosition(q + vec2(0.0, 1.0)) - uv;
    if (max(length(du), length(dv)) > 1.0) {
        colour = vec3(0.0);
        for (int a = -1; a <= 1; ++a)
            for (int b = -1; b <= 1; ++b)
                colour += sourceColour(uv + (float(a) * du + float(b) * dv) / 3.0);
        colour /= 9.0;
    }
#endif

    vec2 centred = uv - inSize * 0.5;
    float r2 = dot(centred, centred) / (0.25 * dot(inSize, inSize));
    colour /= 1.0 + r2 * (vign.x + r2 * (vign.y + r2 * vign.z));
    colour = colorMat * (colour * exp2(exposureOffset));
    // Dark source pixels must stay distinguishable from "no source pixel".
    fragColor = vec4(max(colour, vec3(1e-4)), 1.0);
}
