// Mode 0: raw texel of input `which` (-1: nextInput(0)); mode 1: sample at p + (offset, 0).
uniform int mode;
uniform int which;
uniform float offset;

void main() {
    vec2 p = outputPosition();
    int k = which < 0 ? nextInput(0) : which;
    fragColor = mode == 0 ? fetchInput(k, ivec2(floor(p))) : sampleInput(k, p + vec2(offset, 0.0));
}
