// Vibrato in a pitch track: a sine fitted by least squares.
#include <algorithm>
#include <cmath>

#include "pitch.h"

namespace {

// A `hz` sine in (t, y), fitted by least squares together with a parabola
// that takes up the slow drift: its amplitude, and each point's residual.
double fitSine(const std::vector<double>& t, const std::vector<double>& y, double hz,
               std::vector<double>& residual) {
  constexpr int n = 5;
  residual.assign(t.size(), 0.0);
  auto basisAt = [hz](double time, double* basis) {
    const double values[n] = {1, time, time * time, std::cos(2 * M_PI * hz * time),
                              std::sin(2 * M_PI * hz * time)};
    std::copy(values, values + n, basis);
  };
  double a[n][n + 1] = {};
  for (std::size_t k = 0; k < t.size(); ++k) {
    double basis[n];
    basisAt(t[k], basis);
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) a[i][j] += basis[i] * basis[j];
      a[i][n] += basis[i] * y[k];
    }
  }
  // Gauss-Jordan elimination with partial pivoting.
  for (int c = 0; c < n; ++c) {
    int pivot = c;
    for (int r = c + 1; r < n; ++r)
      if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
    for (int j = 0; j <= n; ++j) std::swap(a[c][j], a[pivot][j]);
    if (std::fabs(a[c][c]) < 1e-12) return 0;
    for (int r = 0; r < n; ++r) {
      if (r == c) continue;
      const double f = a[r][c] / a[c][c];
      for (int j = c; j <= n; ++j) a[r][j] -= f * a[c][j];
    }
  }
  double coefficient[n];
  for (int i = 0; i < n; ++i) coefficient[i] = a[i][n] / a[i][i];
  for (std::size_t k = 0; k < t.size(); ++k) {
    double basis[n];
    basisAt(t[k], basis);
    double model = 0;
    for (int i = 0; i < n; ++i) model += coefficient[i] * basis[i];
    residual[k] = y[k] - model;
  }
  return std::hypot(coefficient[3], coefficient[4]);
}

}  // namespace

double vibratoAmplitude(std::vector<double> seconds, std::vector<double> cents, double hz,
                        int* dropped) {
  constexpr double gross = 50;  // cents
  if (seconds.size() != cents.size()) return 0;
  std::vector<double>& t = seconds;
  std::vector<double>& y = cents;
  std::vector<double> residual;
  double amplitude = fitSine(t, y, hz, residual);
  for (int pass = 0; pass < 3; ++pass) {
    // Around the median residual: misread points pull the first fit their
    // way, so the good ones may all lie on one side of it.
    std::vector<double> sorted = residual;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2),
                     sorted.end());
    const double middle = sorted.empty() ? 0 : sorted[sorted.size() / 2];
    std::vector<double> keptT, keptY;
    for (std::size_t k = 0; k < t.size(); ++k) {
      if (std::fabs(residual[k] - middle) > gross) continue;
      keptT.push_back(t[k]);
      keptY.push_back(y[k]);
    }
    if (keptT.size() == t.size()) break;
    if (keptT.size() < 8) return 0;  // too few to tell
    if (dropped) *dropped += static_cast<int>(t.size() - keptT.size());
    t = keptT;
    y = keptY;
    amplitude = fitSine(t, y, hz, residual);
  }
  return amplitude;
}
