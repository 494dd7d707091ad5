#pragma once
// Wide scaled inverse DCTs for libjpeg's decodes at 5/8, 6/8 and 7/8 of each side.
#include <cstddef>
#include <cstdio>
// libjpeg's header needs FILE and size_t declared first.
#include <jpeglib.h>

// After jpeg_start_decompress: where libjpeg picked one of its integer scaled inverse DCTs
// (jidctint.c, sizes 5, 6, 7, 10, 12 and 14) for a component, puts in its place a wide one
// (AVX2) that writes the same bytes; true where it replaced any. libjpeg-turbo's own wide code
// covers only its 8, 4 and 2 sizes, so that a decode at 5/8 to 7/8 cost more than one at 8/8.
bool installWideScaledIdct(jpeg_decompress_struct* cinfo);

// The size-n inverse DCT that installWideScaledIdct installs (it reads 16-bit multipliers), or
// none for other sizes or without AVX2; tests compare it with libjpeg's own, block by block.
using ScaledIdct = void (*)(j_decompress_ptr, jpeg_component_info*, JCOEFPTR, JSAMPARRAY,
                            JDIMENSION);
ScaledIdct wideScaledIdct(int n);
// libjpeg's own integer inverse DCT of size n, for the sizes above; none for others.
ScaledIdct libjpegScaledIdct(int n);
