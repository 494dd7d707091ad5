#pragma once

// Highest polynomial degree the root finder accepts.
constexpr int MAXDEGREE = 10;

// Zeros of a real polynomial by the Jenkins-Traub three-stage method (ACM TOMS
// Algorithm 493). op holds *Degree + 1 coefficients, highest power first; on return
// *Degree is the number of zeros stored in zeror (real parts) and zeroi (imaginary parts).
void rpoly_ak1(double* op, int* Degree, double* zeror, double* zeroi);
