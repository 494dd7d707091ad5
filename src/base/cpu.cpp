#include "base/cpu.h"

bool hasAvx2() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
#else
    return false;
#endif
}

bool hasAvx512() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx512 = __builtin_cpu_supports("avx512f");
    return avx512;
#else
    return false;
#endif
}
