// Power series in long double, the references for the hyperbolic functions.
#pragma once

namespace velarix::tension::reference {

// The sum of weight(k) x^k / k! over k = first, first + 2, ...; with positive
// terms nothing cancels, however small x is.
template <class Weight>
long double series(long double x, int first, Weight weight) {
  long double term = 1;
  for (int k = 1; k <= first; ++k) term *= x / k;
  long double sum = 0;
  for (int k = first; k < 1000 && term != 0; k += 2) {
    sum += weight(k) * term;
    term *= x * x / ((k + 1) * (k + 2));
  }
  return sum;
}

// sinhm = tail(x, 3), coshm = tail(x, 2), coshmm = tail(x, 4).
inline long double tail(long double x, int first) {
  return series(x, first, [](int) { return 1; });
}

}  // namespace velarix::tension::reference
