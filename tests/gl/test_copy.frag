// Test pass over the sampling helpers: "mode" picks what is written for each output pixel p.
//   0: raw texel of input 0          1: readInput(0, p + offset)   2: sampleInput(0, p + offset)
//   3: readInput(which, p)           4: uniforms of input "which" (width, height, RGBE, HDR)
//   5: readInput(0, p) to output 0 and 1 - readInput(0, p) to output 1
//   7: outputPosition() as floats    8: readInput(nextInput(0), p)
uniform int mode;
uniform int which;
uniform vec2 offset;

void main() {
    vec2 p = outputPosition();
    if (mode == 0) {
        fragColor = fetchInput(0, ivec2(floor(p)));
    } else if (mode == 1) {
        fragColor = readInput(0, p + offset);
    } else if (mode == 2) {
        fragColor = sampleInput(0, p + offset);
    } else if (mode == 3) {
        fragColor = readInput(which, p);
    } else if (mode == 4) {
        fragColor = vec4(vec2(inputSize(which)), inputIsRGBE(which) ? 1.0 : 0.0,
                         inputIsHDR(which) ? 1.0 : 0.0);
    } else if (mode == 5) {
        fragColor = readInput(0, p);
        fragColor1 = vec4(1.0) - readInput(0, p);
    } else if (mode == 7) {
        fragColor = vec4(p, 0.0, 1.0);
    } else {
        fragColor = readInput(nextInput(0), p);
    }
}
