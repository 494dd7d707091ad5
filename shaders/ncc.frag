// Normalised cross-correlation of the green-channel template around corner "tem_c" of A
// (input 1) with B (input 0). Cell (u, v) of the (2 SEARCH_X + 1) x (2 SEARCH_Y + 1) map scores
// the template moved by ((u - SEARCH_X) * s, (v - SEARCH_Y) * s) texture pixels,
// s = "sub_sampling"; at s = 2 template and window are 2 x 2 box averages, as in the CPU back
// end. NaN marks cells without a score: moves beyond SEARCH_X x SEARCH_Y pixels, placements
// whose corners touch exact black in B, and placements without variance. SEARCH_X, SEARCH_Y and
// TEMPLATE_UNIT come from the program's defines (correlationDefines).
uniform int sub_sampling;
uniform float mean;    // about the template's mean; subtracted for precision only
uniform ivec2 win_tl;  // top-left of the search range in B: the corner moved back by the reach
uniform ivec2 tem_c;   // the corner in A
uniform int tem_r;     // template half side, texture pixels

bool isBlack(ivec2 p) {
    return all(equal(fetchInput(0, p).rgb, vec3(0.0)));
}

// Texel p of input k, known to lie inside it. Renderings are never split, so from GLSL 1.30
// a plain fetch does; the general helper serves the older paths.
vec4 texelAt(int k, ivec2 p) {
#if __VERSION__ >= 130 && !defined(USE_ARRAY_TEXTURE)
    return k == 0 ? texelFetch(texUnit0, p, 0) : texelFetch(texUnit1, p, 0);
#else
    return fetchInput(k == 0 ? 0 : nextInput(0), p);
#endif
}

// Green of the s x s block at p of input k.
float cell(int k, ivec2 p) {
    if (sub_sampling == 1) return texelAt(k, p).g;
    return 0.25 * (texelAt(k, p).g + texelAt(k, p + ivec2(1, 0)).g + texelAt(k, p + ivec2(0, 1)).g +
                   texelAt(k, p + ivec2(1, 1)).g);
}

void main() {
    ivec2 uv = ivec2(floor(outputPosition()));
    int s = sub_sampling;
    ivec2 move = (uv - ivec2(SEARCH_X, SEARCH_Y)) * s;
    // Built at run time so that no compiler folds it away.
    float nan = sqrt(mean - abs(mean) - 1.0);
    // The template of the CPU back end: side P = 2 r + 1, its width padded to a multiple of
    // TEMPLATE_UNIT s.
    int side = 2 * tem_r + 1;
    int unit = TEMPLATE_UNIT * s;
    ivec2 n = ivec2((side + unit - 1) / unit * TEMPLATE_UNIT, side / s);
    ivec2 last = n * s - 1;
    ivec2 a0 = tem_c - ivec2(tem_r);
    ivec2 b0 = a0 + move;
    // The search range, centred on the corner: win_tl is its top-left.
    ivec2 fromTopLeft = tem_c + move - win_tl;
    bool inRange = all(greaterThanEqual(fromTopLeft, ivec2(0))) &&
                   all(lessThanEqual(fromTopLeft, 2 * ivec2(SEARCH_X, SEARCH_Y)));
    bool inside = all(greaterThanEqual(b0, ivec2(0))) && all(lessThan(b0 + last, inputSize(0)));
    if (!inRange || !inside || isBlack(b0) || isBlack(b0 + ivec2(last.x, 0)) ||
        isBlack(b0 + ivec2(0, last.y)) || isBlack(b0 + last)) {
        fragColor = vec4(nan);
        return;
    }
    float shiftB = cell(0, b0 + n / 2 * s);
    float sa = 0.0, saa = 0.0, sb = 0.0, sbb = 0.0, sab = 0.0;
    for (int j = 0; j < n.y; ++j)
        for (int i = 0; i < n.x; ++i) {
            ivec2 o = ivec2(i, j) * s;
            float a = cell(1, a0 + o) - mean;
            float b = cell(0, b0 + o) - shiftB;
            sa += a;
            saa += a * a;
            sb += b;
            sbb += b * b;
            sab += a * b;
        }
    float count = float(n.x * n.y);
    float va = saa - sa * sa / count;
    float vb = sbb - sb * sb / count;
    float cov = sab - sa * sb / count;
    fragColor = vec4(va > 0.0 && vb > 0.0 ? cov / sqrt(va * vb) : nan);
}
