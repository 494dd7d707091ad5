#pragma once
// What the processor offers beyond the baseline the tool is built for.

// True where the processor runs AVX2; asked once (false off x86).
bool hasAvx2();
// True where the processor runs AVX-512 (its foundation); asked once (false off x86).
bool hasAvx512();
