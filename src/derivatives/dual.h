#pragma once

// A forward-mode dual number: a double value and its partial derivatives with respect to N
// independent values, carried through every operation by the chain rule. Its value is
// always the very double that the same operation on doubles gives (a / b is divided, not
// multiplied by a reciprocal), so that a run on dual numbers takes the branches of the run
// on doubles and its values are that run's to the last bit; the partials are what the
// derivative of each operation makes of them. Comparisons compare values: a branch is taken
// by the value, and the derivative is that of the branch taken.

#include <cmath>

template <int N>
struct Dual {
    double v;     // the value
    double d[N];  // d v / d (value k), k = 0..N-1

    Dual() = default;
    // A constant: every partial 0.
    Dual(double x) : v(x) {  // NOLINT: a double is a constant wherever a dual is expected
        for (int i = 0; i < N; ++i) d[i] = 0.0;
    }
    // Independent value k: its own partial 1, the others 0.
    static Dual seed(double x, int k) {
        Dual r(x);
        r.d[k] = 1.0;
        return r;
    }
};

template <int N>
double value_of(const Dual<N>& x) {
    return x.v;
}

template <int N>
Dual<N> operator+(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r;
    r.v = a.v + b.v;
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] + b.d[i];
    return r;
}
template <int N>
Dual<N> operator-(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r;
    r.v = a.v - b.v;
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] - b.d[i];
    return r;
}
template <int N>
Dual<N> operator-(const Dual<N>& a) {
    Dual<N> r;
    r.v = -a.v;
    for (int i = 0; i < N; ++i) r.d[i] = -a.d[i];
    return r;
}
template <int N>
Dual<N> operator*(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r;
    r.v = a.v * b.v;
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] * b.v + a.v * b.d[i];
    return r;
}
template <int N>
Dual<N> operator/(const Dual<N>& a, const Dual<N>& b) {
    Dual<N> r;
    r.v = a.v / b.v;
    const double inverse = 1.0 / b.v;
    for (int i = 0; i < N; ++i) r.d[i] = (a.d[i] - r.v * b.d[i]) * inverse;
    return r;
}

// With a double, which is a constant.
template <int N>
Dual<N> operator+(const Dual<N>& a, double b) {
    Dual<N> r = a;
    r.v = a.v + b;
    return r;
}
template <int N>
Dual<N> operator+(double a, const Dual<N>& b) {
    Dual<N> r = b;
    r.v = a + b.v;
    return r;
}
template <int N>
Dual<N> operator-(const Dual<N>& a, double b) {
    Dual<N> r = a;
    r.v = a.v - b;
    return r;
}
template <int N>
Dual<N> operator-(double a, const Dual<N>& b) {
    Dual<N> r;
    r.v = a - b.v;
    for (int i = 0; i < N; ++i) r.d[i] = -b.d[i];
    return r;
}
template <int N>
Dual<N> operator*(const Dual<N>& a, double b) {
    Dual<N> r;
    r.v = a.v * b;
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] * b;
    return r;
}
template <int N>
Dual<N> operator*(double a, const Dual<N>& b) {
    Dual<N> r;
    r.v = a * b.v;
    for (int i = 0; i < N; ++i) r.d[i] = a * b.d[i];
    return r;
}
template <int N>
Dual<N> operator/(const Dual<N>& a, double b) {
    Dual<N> r;
    r.v = a.v / b;
    const double inverse = 1.0 / b;
    for (int i = 0; i < N; ++i) r.d[i] = a.d[i] * inverse;
    return r;
}
template <int N>
Dual<N> operator/(double a, const Dual<N>& b) {
    Dual<N> r;
    r.v = a / b.v;
    const double factor = -r.v / b.v;
    for (int i = 0; i < N; ++i) r.d[i] = factor * b.d[i];
    return r;
}

#define TRANSITION_DUAL_COMPARISON(op)                                                   \
    template <int N>                                                                     \
    bool operator op(const Dual<N>& a, const Dual<N>& b) {                               \
        return a.v op b.v;                                                               \
    }                                                                                    \
    template <int N>                                                                     \
    bool operator op(const Dual<N>& a, double b) {                                       \
        return a.v op b;                                                                 \
    }                                                                                    \
    template <int N>                                                                     \
    bool operator op(double a, const Dual<N>& b) {                                       \
        return a op b.v;                                                                 \
    }
TRANSITION_DUAL_COMPARISON(<)
TRANSITION_DUAL_COMPARISON(>)
TRANSITION_DUAL_COMPARISON(<=)
TRANSITION_DUAL_COMPARISON(>=)
TRANSITION_DUAL_COMPARISON(==)
TRANSITION_DUAL_COMPARISON(!=)
#undef TRANSITION_DUAL_COMPARISON

// The elementary functions, each value from the maths library as for a double.
template <int N>
Dual<N> sqrt(const Dual<N>& a) {
    Dual<N> r;
    r.v = std::sqrt(a.v);
    const double factor = 0.5 / r.v;
    for (int i = 0; i < N; ++i) r.d[i] = factor * a.d[i];
    return r;
}
template <int N>
Dual<N> sin(const Dual<N>& a) {
    Dual<N> r;
    r.v = std::sin(a.v);
    const double factor = std::cos(a.v);
    for (int i = 0; i < N; ++i) r.d[i] = factor * a.d[i];
    return r;
}
template <int N>
Dual<N> cos(const Dual<N>& a) {
    Dual<N> r;
    r.v = std::cos(a.v);
    const double factor = -std::sin(a.v);
    for (int i = 0; i < N; ++i) r.d[i] = factor * a.d[i];
    return r;
}
// Both at once, each of the maths library's two functions called once.
template <int N>
void sine_and_cosine(const Dual<N>& a, Dual<N>& sine, Dual<N>& cosine) {
    const double s = std::sin(a.v), c = std::cos(a.v);
    sine.v = s;
    cosine.v = c;
    for (int i = 0; i < N; ++i) {
        sine.d[i] = c * a.d[i];
        cosine.d[i] = -s * a.d[i];
    }
}
// a^y for a constant y: its derivative y a^(y - 1), taken as y a^y / a, so that the maths
// library's power is called once; at a = 0, the limit (0 for y > 1).
template <int N>
Dual<N> pow(const Dual<N>& a, double y) {
    Dual<N> r;
    r.v = std::pow(a.v, y);
    const double factor = a.v != 0.0 ? y * r.v / a.v : y > 1.0 ? 0.0 : y == 1.0 ? 1.0 : HUGE_VAL;
    for (int i = 0; i < N; ++i) r.d[i] = factor * a.d[i];
    return r;
}
