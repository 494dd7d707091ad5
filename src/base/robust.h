#pragma once
// Robust statistics shared by the stages that judge residuals.
#include <algorithm>
#include <cstddef>
#include <vector>

// The median of v, the upper of the two middle values where their number is even; 0 for none.
template <class T>
T median(std::vector<T> v) {
    if (v.empty()) return T(0);
    auto mid = v.begin() + std::ptrdiff_t(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// The robust standard deviation per axis of two-dimensional residuals from the median of their
// lengths (1.177 sigma of a normal residual), raised for n residuals of a model with `parameters`
// fitted, whose few understate it (Rousseeuw and Leroy's small-sample factor).
template <class T>
T spreadOfFit(T medianLength, size_t n, size_t parameters) {
    return medianLength / T(1.1774) *
           (1 +
            T(5) / T(std::max<std::ptrdiff_t>(std::ptrdiff_t(n) - std::ptrdiff_t(parameters), 1)));
}
