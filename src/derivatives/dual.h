#pragma once

// A forward-mode dual number: a double value and its partial derivatives with respect to N
// independent values, carried through every operation by the chain rule. Its value is
// always the very double that the same operation on doubles gives (a / b is divided, not
// multiplied by a reciprocal), so that a run on dual numbers takes the branches of the run
// on doubles and its values are that run's to the last bit; the partials are what the
// derivative of each operation makes of them. Comparisons compare values: a branch is taken
// by the value, and the derivative is that of the branch taken.
//
// An expression of + - * / is not a dual number until it is stored in one: each operation
// makes a node that holds its value, computed at once and in order, and refers to its
// operands; storing the expression computes every partial of the whole expression in one
// pass over them. A node refers to temporaries and lives only within its full expression:
// never keep one (the formulas store every result in a named Dual, never in `auto`).

#include <cmath>
#include <type_traits>

template <int N>
struct Dual;

namespace dual {

// What takes part in an expression: a Dual or a node, each with `v`, its value, `lane(i)`,
// its partial i, and `size`, its number of partials.
struct Term {};
template <class E>
constexpr bool is_term = std::is_base_of_v<Term, E>;
template <class A, class B>
constexpr bool operands = (is_term<A> || is_term<B>) && (is_term<A> || std::is_arithmetic_v<A>) &&
                          (is_term<B> || std::is_arithmetic_v<B>);

// An operand as a node holds it: a term by reference, a constant by value.
template <class E>
using Held = std::conditional_t<is_term<E>, const E&, double>;
template <class E>
double value(const E& e) {
    if constexpr (is_term<E>) {
        return e.v;
    } else {
        return static_cast<double>(e);
    }
}
template <class E>
constexpr int size_of() {
    if constexpr (is_term<E>) {
        return E::size;
    } else {
        return 0;
    }
}
template <class A, class B>
constexpr int size_of() {
    return size_of<A>() > size_of<B>() ? size_of<A>() : size_of<B>();
}

template <class A, class B>
struct Sum : Term {
    static constexpr int size = size_of<A, B>();
    Held<A> a;
    Held<B> b;
    double v;
    Sum(const A& x, const B& y) : a(x), b(y), v(value(x) + value(y)) {}
    double lane(int i) const {
        if constexpr (!is_term<A>) {
            return b.lane(i);
        } else if constexpr (!is_term<B>) {
            return a.lane(i);
        } else {
            return a.lane(i) + b.lane(i);
        }
    }
};
template <class A, class B>
struct Difference : Term {
    static constexpr int size = size_of<A, B>();
    Held<A> a;
    Held<B> b;
    double v;
    Difference(const A& x, const B& y) : a(x), b(y), v(value(x) - value(y)) {}
    double lane(int i) const {
        if constexpr (!is_term<A>) {
            return -b.lane(i);
        } else if constexpr (!is_term<B>) {
            return a.lane(i);
        } else {
            return a.lane(i) - b.lane(i);
        }
    }
};
template <class A, class B>
struct Product : Term {
    static constexpr int size = size_of<A, B>();
    Held<A> a;
    Held<B> b;
    double v;
    Product(const A& x, const B& y) : a(x), b(y), v(value(x) * value(y)) {}
    double lane(int i) const {
        if constexpr (!is_term<A>) {
            return a * b.lane(i);
        } else if constexpr (!is_term<B>) {
            return a.lane(i) * b;
        } else {
            return a.lane(i) * b.v + a.v * b.lane(i);
        }
    }
};
template <class A, class B>
struct Quotient : Term {
    static constexpr int size = size_of<A, B>();
    Held<A> a;
    Held<B> b;
    double v, inverse;
    Quotient(const A& x, const B& y) : a(x), b(y), v(value(x) / value(y)), inverse(1.0 / value(y)) {}
    double lane(int i) const {
        if constexpr (!is_term<A>) {
            return -v * b.lane(i) * inverse;
        } else if constexpr (!is_term<B>) {
            return a.lane(i) * inverse;
        } else {
            return (a.lane(i) - v * b.lane(i)) * inverse;
        }
    }
};
template <class A>
struct Negation : Term {
    static constexpr int size = A::size;
    const A& a;
    double v;
    explicit Negation(const A& x) : a(x), v(-x.v) {}
    double lane(int i) const { return -a.lane(i); }
};

// The node of `a op b` for operands of any kind, a constant held as a double.
template <class E>
using Operand = std::conditional_t<is_term<E>, E, double>;

}  // namespace dual

template <int N>
struct Dual : dual::Term {
    static constexpr int size = N;
    double v;     // the value
    double d[N];  // d v / d (value k), k = 0..N-1

    Dual() = default;
    // A constant: every partial 0.
    Dual(double x) : v(x) {  // NOLINT: a double is a constant wherever a dual is expected
        for (int i = 0; i < N; ++i) d[i] = 0.0;
    }
    // An expression, stored: every partial in one pass.
    template <class E, class = std::enable_if_t<dual::is_term<E> && !std::is_same_v<E, Dual>>>
    Dual(const E& e) : v(e.v) {  // NOLINT: storing an expression is what makes it a number
        for (int i = 0; i < N; ++i) d[i] = e.lane(i);
    }
    // The partials first, then the value: the expression may read this number's own.
    template <class E, class = std::enable_if_t<dual::is_term<E> && !std::is_same_v<E, Dual>>>
    Dual& operator=(const E& e) {
        const double value = e.v;
        for (int i = 0; i < N; ++i) d[i] = e.lane(i);
        v = value;
        return *this;
    }
    double lane(int i) const { return d[i]; }

    // Independent value k: its own partial 1, the others 0.
    static Dual seed(double x, int k) {
        Dual r(x);
        r.d[k] = 1.0;
        return r;
    }
};

template <class E, class = std::enable_if_t<dual::is_term<E>>>
double value_of(const E& x) {
    return x.v;
}

template <class A, class B, class = std::enable_if_t<dual::operands<A, B>>>
dual::Sum<dual::Operand<A>, dual::Operand<B>> operator+(const A& a, const B& b) {
    return {a, b};
}
template <class A, class B, class = std::enable_if_t<dual::operands<A, B>>>
dual::Difference<dual::Operand<A>, dual::Operand<B>> operator-(const A& a, const B& b) {
    return {a, b};
}
template <class A, class B, class = std::enable_if_t<dual::operands<A, B>>>
dual::Product<dual::Operand<A>, dual::Operand<B>> operator*(const A& a, const B& b) {
    return {a, b};
}
template <class A, class B, class = std::enable_if_t<dual::operands<A, B>>>
dual::Quotient<dual::Operand<A>, dual::Operand<B>> operator/(const A& a, const B& b) {
    return {a, b};
}
template <class A, class = std::enable_if_t<dual::is_term<A>>>
dual::Negation<A> operator-(const A& a) {
    return dual::Negation<A>(a);
}

#define TRANSITION_DUAL_COMPARISON(op)                                 \
    template <class A, class B, class = std::enable_if_t<dual::operands<A, B>>> \
    bool operator op(const A& a, const B& b) {                         \
        return dual::value(a) op dual::value(b);                       \
    }
TRANSITION_DUAL_COMPARISON(<)
TRANSITION_DUAL_COMPARISON(>)
TRANSITION_DUAL_COMPARISON(<=)
TRANSITION_DUAL_COMPARISON(>=)
TRANSITION_DUAL_COMPARISON(==)
TRANSITION_DUAL_COMPARISON(!=)
#undef TRANSITION_DUAL_COMPARISON

// The elementary functions, each value from the maths library as for a double; of an
// expression, once it is stored.
namespace dual {
// f(a) from its value f and its derivative df/da: the chain rule, element by element.
template <int N>
Dual<N> chained(double value, double factor, const Dual<N>& a) {
    Dual<N> r;
    r.v = value;
    for (int i = 0; i < N; ++i) r.d[i] = factor * a.d[i];
    return r;
}
}  // namespace dual
template <int N>
Dual<N> sqrt(const Dual<N>& a) {
    const double value = std::sqrt(a.v);
    return dual::chained(value, 0.5 / value, a);
}
template <int N>
Dual<N> sin(const Dual<N>& a) {
    return dual::chained(std::sin(a.v), std::cos(a.v), a);
}
template <int N>
Dual<N> cos(const Dual<N>& a) {
    return dual::chained(std::cos(a.v), -std::sin(a.v), a);
}
// Both at once, each of the maths library's two functions called once.
template <int N>
void sine_and_cosine(const Dual<N>& a, Dual<N>& sine, Dual<N>& cosine) {
    const double s = std::sin(a.v), c = std::cos(a.v);
    for (int i = 0; i < N; ++i) {
        sine.d[i] = c * a.d[i];
        cosine.d[i] = -s * a.d[i];
    }
    sine.v = s;
    cosine.v = c;
}
// a^y for a constant y: its derivative y a^(y - 1), taken as y a^y / a, so that the maths
// library's power is called once; at a = 0, the limit (0 for y > 1).
template <int N>
Dual<N> pow(const Dual<N>& a, double y) {
    const double value = std::pow(a.v, y);
    return dual::chained(value, a.v != 0.0 ? y * value / a.v : y > 1.0 ? 0.0 : y == 1.0 ? 1.0 : HUGE_VAL, a);
}
template <class E, class = std::enable_if_t<dual::is_term<E>>>
Dual<E::size> sqrt(const E& e) {
    return sqrt(Dual<E::size>(e));
}
