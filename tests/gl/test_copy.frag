// Test pass over the sampling helpers, on input `which` (-1: nextInput(0)); `mode` picks
// 0: fetchInput   1: sampleInput at p + (offset, 0)   2: its size, RGBE and HDR flags
uniform int mode;
uniform int which;
uniform float offset;

void main() {
    vec2 p = outputPosition();
    int k = which < 0 ? nextInput(0) : which;
    if (mode == 0) {
        fragColor = fetchInput(k, ivec2(floor(p)));
    } else if (mode == 1) {
        fragColor = sampleInput(k, p + vec2(offset, 0.0));
    } else {
        fragColor = vec4(vec2(inputSize(k)), inputIsRGBE(k) ? 1.0 : 0.0, inputIsHDR(k) ? 1.0 : 0.0);
    }
}
