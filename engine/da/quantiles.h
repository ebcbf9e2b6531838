// The quantiles that the multiple-imputation combination needs, in double precision.
#pragma once

namespace kov::da {

// The standard normal quantile by Beasley and Springer's algorithm AS 111: a rational function
// of p - 1/2 in the centre (|p - 1/2| <= 0.42), of sqrt(-ln(tail probability)) beyond. Absolute
// error about 3e-9 near the split and up to about 1.5e-5 at p = 1e-6. For p outside (0, 1)
// returns 0 and sets *outOfRange, which is otherwise cleared; outOfRange may be null when p is
// known to lie inside.
double NormalQuantile(double p, bool* outOfRange);

// The 97.5 % point of Student's t with nu degrees of freedom (nu need not be whole): the exact
// values for 1 and 2, the normal quantile above 10000, and Hill's approximation (ACM Algorithm
// 396) in between, which is within about 3e-6 of the true value from 3 degrees of freedom on.
double StudentT975(double nu);

}  // namespace kov::da
