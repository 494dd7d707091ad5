#pragma once
// Real polynomial roots by the Jenkins-Traub method (TOMS 493, "rpoly").

// Highest polynomial degree the root finder accepts.
constexpr int MAXDEGREE = 10;

// Zeros of a real polynomial by the Jenkins-Traub three-stage method (ACM TOMS
// Algorithm 493). op holds *Degree + 1 coefficients, highest power first; on return
// *Degree is the number of zeros stored in zeror (real parts) and zeroi (imaginary parts):
// fewer where the search gives up, 0 for a zero leading coefficient, -1 above MAXDEGREE.
void rpoly_ak1(double* op, int* Degree, double* zeror, double* zeroi);

// Divides the nn coefficients of p by x^2 + u x + v: quotient in q (nn - 2 entries
// used), remainder b (x + u) + a.
void QuadSD_ak1(int nn, double u, double v, const double* p, double* q, double* a, double* b);

// Zeros (sr, si) and (lr, li) of a x^2 + b1 x + c, guarding against overflow; of two real
// zeros lr is the one of larger modulus.
void Quad_ak1(double a, double b1, double c, double* sr, double* si, double* lr, double* li);
