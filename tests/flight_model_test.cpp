#include <gtest/gtest.h>

#include <string>

#include "flight_model/flight_model.h"

namespace {

// Runs one evaluation at the given speed and returns the two lines it printed.
std::string evaluate(double speed, double* dydt, int n = 3, double t = 0.0) {
    double state[3] = {speed, 12.0, 34.0};
    ::testing::internal::CaptureStdout();
    FFFF(dydt, state, n, t);
    return ::testing::internal::GetCapturedStdout();
}

TEST(FlightModel, HoverAtRest) {
    double dydt[3];
    EXPECT_EQ(evaluate(0.0, dydt),
              "alpha -2.336866 Cx 0.036204 Cz 0.328524\n"
              "vel 0.000000 thrust 247.080352 drag 0.000000 lift 0.000000 \n");
    EXPECT_EQ(lift, 0.0);
    EXPECT_EQ(alphaj, dd);
    // The nose-down angle tilts the propeller thrust down, so the rotors carry more than Q.
    EXPECT_GT(thrust, Q);
    EXPECT_NEAR(dydt[0], 1.99566, 1e-5);
    EXPECT_EQ(dydt[1], 0.0);
    EXPECT_NEAR(dydt[2], 2900.76, 1e-2);
}

TEST(FlightModel, RotorsNeverPushDown) {
    // At 20 m/s the wing alone carries more than the weight: no rotor thrust, no power,
    // and the vehicle still accelerates.
    double dydt[3];
    const std::string lines = evaluate(20.0, dydt);
    EXPECT_GT(lift, Q);
    EXPECT_EQ(thrust, 0.0);
    EXPECT_EQ(power, 0.0);
    EXPECT_EQ(dydt[2], 0.0);
    EXPECT_GT(dydt[0], 0.0);
    EXPECT_NE(lines.find(" thrust 0.000000 "), std::string::npos);
}

TEST(FlightModel, DerivativesDependOnSpeedAloneNotCountOrTime) {
    double first[3], second[3];
    const std::string a = evaluate(13.7, first, 3, 0.0);
    const std::string b = evaluate(13.7, second, 1, 99.0);
    EXPECT_EQ(a, b);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(first[i], second[i]);
    EXPECT_EQ(first[0], acc);
    EXPECT_EQ(first[1], 13.7);
    EXPECT_EQ(first[2], power);
    EXPECT_GT(power, 0.0);
}

}  // namespace
