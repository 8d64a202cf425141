#include <gtest/gtest.h>

#include <new>
#include <vector>

#include "integrator/rkg4.h"

namespace {

// The state and time each call of a derivative function below saw: a plain function
// pointer carries no state of its own.
struct Call {
    double y0;
    int n;
    double t;
};
std::vector<Call> calls;

void one(double* dydt, double* y, int n, double t) {
    calls.push_back({n > 0 ? y[0] : 0.0, n, t});
    for (int i = 0; i < n; ++i) dydt[i] = 1.0;
}
void growth(double* dydt, double* y, int n, double t) {
    calls.push_back({y[0], n, t});
    dydt[0] = y[0];
}
void clock(double* dydt, double* y, int n, double t) {
    calls.push_back({y[0], n, t});
    dydt[0] = t;
}

// One step of a scalar equation from y0; dydt receives the buffer's final contents.
double step(DerivativeFunction f, double y0, double h, double t, double& dydt) {
    calls.clear();
    double y;
    RKG4(f, &y0, &dydt, &y, 1, h, t);
    return y;
}

TEST(RKG4Step, ShortenedGillLiteralsShowInAConstantRate) {
    // With exact coefficients every component would advance by h; the nine-decimal
    // literals leave 1.7e-9 h, which the trace depends on.
    const double y0[2] = {0.0, 5.0};
    double dydt[2], y[2];
    RKG4(one, y0, dydt, y, 2, 0.05, 0.0);
    EXPECT_NEAR(y[0], 1.0000000017 * 0.05, 1e-14);
    EXPECT_NEAR(y[1], 5.0 + 1.0000000017 * 0.05, 1e-14);
    EXPECT_EQ(y0[1], 5.0);
}

TEST(RKG4Step, ExponentialGrowthToFourthOrderKeepsTheFourthEvaluation) {
    double dydt;
    const double y = step(growth, 1.0, 0.1, 0.0, dydt);
    EXPECT_NEAR(y, 1.1051708335, 1e-10);
    // The buffer holds the derivative at the state after three stages, not at the result.
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(dydt, calls[3].y0);
    EXPECT_NE(dydt, y);
}

TEST(RKG4Step, EvaluatesAtTheFourStageTimesInOrder) {
    double dydt;
    EXPECT_NEAR(step(clock, 0.0, 1.0, 0.0, dydt), 0.5000000017, 1e-12);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].t, 0.0);
    EXPECT_EQ(calls[1].t, 0.5);
    EXPECT_EQ(calls[2].t, 0.5);
    EXPECT_EQ(calls[3].t, 1.0);
    step(clock, 0.0, 0.05, 18.5, dydt);
    EXPECT_EQ(calls[1].t, 0.5 * 0.05 + 18.5);
    EXPECT_EQ(calls[3].t, 1.0 * 0.05 + 18.5);
}

TEST(RKG4Step, EmptyStateStillEvaluatesFourTimesAndNegativeCountThrows) {
    calls.clear();
    RKG4(one, nullptr, nullptr, nullptr, 0, 0.05, 0.0);
    ASSERT_EQ(calls.size(), 4u);
    for (const Call& c : calls) EXPECT_EQ(c.n, 0);
    calls.clear();
    EXPECT_THROW(RKG4(one, nullptr, nullptr, nullptr, -1, 0.05, 0.0), std::bad_array_new_length);
    EXPECT_TRUE(calls.empty());
}

}  // namespace
