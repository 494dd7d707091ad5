// Corner detection in three passes over a rendered patch, with the minimum eigenvalue of the
// structure tensor as corner measure (Shi and Tomasi, "Good Features to Track", CVPR 1994).
//   pass 0: gradient products of the green channel at the detection spacing, and a flag for
//           exact black (no source pixel);
//   pass 1: the tensor summed over a window, its minimum eigenvalue; 0 where the correlation
//           template around the pixel would leave the patch or touch exact black;
//   pass 2: for each 4 x 4 block one candidate, kept when it is the maximum of its
//           neighbourhood; texel (u, v) of the top-left quarter gets (x, y, strength) of the
//           corner found in block (4u .. 4u+3, 4v .. 4v+3), strength > 0 exactly for a corner.
// "scale" is 1, 3 or 9 for the detection scales 1, 2 and 4.
uniform int scale;
uniform int pass;

int spacing() {
    return scale >= 9 ? 4 : scale >= 3 ? 2 : 1;
}

// Texel px of the input, clamped to its edge. Its passes' inputs are never split, so from
// GLSL 1.30 a plain fetch does; the general helper serves the older paths.
vec4 at(ivec2 px) {
#if __VERSION__ >= 130 && !defined(USE_ARRAY_TEXTURE)
    return texelFetch(texUnit0, clamp(px, ivec2(0), texSize0 - 1), 0);
#else
    return fetchInput(0, px);
#endif
}

bool isBlack(ivec2 px) {
    vec3 c = at(px).rgb;
    return c.r == 0.0 && c.g == 0.0 && c.b == 0.0;
}

vec4 gradientPass(ivec2 p) {
    int d = spacing();
    float gx = at(p + ivec2(d, 0)).g - at(p - ivec2(d, 0)).g;
    float gy = at(p + ivec2(0, d)).g - at(p - ivec2(0, d)).g;
    vec2 g = vec2(gx, gy) / float(2 * d);
    return vec4(g.x * g.x, g.y * g.y, g.x * g.y, isBlack(p) ? 1.0 : 0.0);
}

// True when the template of the correlation around p lies inside the patch and its corners and
// centre have source pixels (the tests that reject such a corner anyway).
bool templateUsable(ivec2 p) {
    int d = spacing();
    int r = 9 * d;
    int width = 20 * d;  // widest template the correlation cuts
    ivec2 size = inputSize(0);
    if (p.x - r < 0 || p.y - r < 0 || p.x - r + width > size.x || p.y + r >= size.y) return false;
    ivec2 c0 = p - ivec2(r);
    ivec2 c1 = c0 + ivec2(width - 1, 2 * r);
    return at(c0).a == 0.0 && at(c1).a == 0.0 && at(ivec2(c0.x, c1.y)).a == 0.0 &&
           at(ivec2(c1.x, c0.y)).a == 0.0 && at(p).a == 0.0;
}

vec4 responsePass(ivec2 p) {
    if (!templateUsable(p)) return vec4(0.0);
    int d = spacing();
    vec3 s = vec3(0.0);
    for (int j = -2; j <= 2; ++j)
        for (int i = -2; i <= 2; ++i) s += at(p + ivec2(i, j) * d).rgb;
    float mean = 0.5 * (s.x + s.y);
    float diff = 0.5 * (s.x - s.y);
    float lambdaMin = mean - sqrt(diff * diff + s.z * s.z);
    return vec4(max(lambdaMin, 0.0), 0.0, 0.0, 1.0);
}

// Whether response v at p beats q's response w; ties go to the earlier pixel in row order.
bool beats(float v, ivec2 p, float w, ivec2 q) {
    return v > w || (v == w && (p.y < q.y || (p.y == q.y && p.x < q.x)));
}

vec4 suppressionPass(ivec2 block) {
    ivec2 size = inputSize(0);
    if (block.x >= max(size.x / 4, 1) || block.y >= max(size.y / 4, 1)) return vec4(0.0);
    ivec2 best = block * 4;
    float v = at(best).r;
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 4; ++i) {
            ivec2 q = block * 4 + ivec2(i, j);
            float w = at(q).r;
            if (q.x < size.x && q.y < size.y && beats(w, q, v, best)) {
                v = w;
                best = q;
            }
        }
    if (!(v > 1e-9)) return vec4(0.0);
    int m = 2 * spacing() + 2;
    for (int j = -m; j <= m; ++j)
        for (int i = -m; i <= m; ++i) {
            ivec2 q = best + ivec2(i, j);
            if ((i != 0 || j != 0) && all(greaterThanEqual(q, ivec2(0))) &&
                all(lessThan(q, size)) && beats(at(q).r, q, v, best))
                return vec4(0.0);
        }
    // Strength as a gradient magnitude keeps weak corners above half-float underflow.
    return vec4(float(best.x), float(best.y), sqrt(v), 1.0);
}

void main() {
    ivec2 p = ivec2(floor(outputPosition()));
    if (pass == 0)
        fragColor = gradientPass(p);
    else if (pass == 1)
        fragColor = responsePass(p);
    else
        fragColor = suppressionPass(p);
}
