#include <cstdio>

#include "flight_model/flight_model.h"
#include "transition_run/calk.h"

int main() {
    double result[3];
    calk(result);
    std::printf("\n alpha %f v %f x %f w %f\n", degrees(alphaj), result[0], result[1], result[2]);
    return 0;
}
