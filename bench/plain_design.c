/* One design of the mass sweep, written as plainly as C allows: the built-in aircraft with
 * another mass, the model, the Runge-Kutta-Gill step and the time loop with its stop test
 * in one function, no output but the final state. The limit a sweep of the program's own
 * code is measured against. */
#include <math.h>

void plain_design(double m, double final_state[3]) {
    const double rho = 1.225, S = 1.2, g = 9.81, d = 0.4826;
    const double aa = 0.000006, bb = 0.000159, cc = 0.0004, dd = -0.040786;
    const double VTT[3] = {39.85, -1.0136, 0.0145};
    const double a[4] = {0.5, 0.292893219, 1.707106781, 0.1666666667};
    const double b[4] = {0.5, 0.292893219, 1.707106781, 0.33333333};
    const double c[4] = {0.5, 0.292893219, 1.707106781, 0.5};
    const double Q = m * g, A = 4.0 * ((d * 0.7853981633974483) * d);
    const double h = 0.05;
    double y0[3] = {0.0, 0.0, 0.0}, y[3], q[3], dydt[3], lift = 0.0, t = 0.0;
    int i, j, k;
    for (i = 0;; ++i) {
        for (k = 0; k < 3; ++k) {
            q[k] = 0.0;
            y[k] = y0[k];
        }
        for (j = 0; j < 4; ++j) {
            const double vel = y[0];
            const double qq = ((rho * 0.5) * vel) * vel;
            const double alphaj = dd + (((aa * vel * vel * vel) + (bb * vel * vel)) + cc * vel);
            const double Cx = ((alphaj * 1.0792 * alphaj) + 0.2131 * alphaj) + 0.0431;
            const double Cz = alphaj * 6.1069 + 0.5776;
            const double drag = Cx * (qq * S);
            const double F = (VTT[0] + vel * VTT[1]) + VTT[2] * vel * vel;
            double thrust;
            lift = Cz * (qq * S);
            thrust = ((Q - lift) - sin(alphaj) * F) / cos(alphaj);
            if (thrust < 0.0) thrust = 0.0;
            dydt[0] = ((-drag - thrust * sin(alphaj)) + cos(alphaj) * F) / m;
            dydt[1] = vel;
            dydt[2] = pow(thrust, 1.5) / sqrt(A * (rho + rho));
            for (k = 0; k < 3; ++k) {
                const double kk = dydt[k] * h;
                const double r = a[j] * kk - b[j] * q[k];
                y[k] = y[k] + r;
                q[k] = (3.0 * r - c[j] * kk) + q[k];
            }
        }
        if (y[0] > 25.0 || lift >= Q || i == 799) break;
        t = t + h;
        for (k = 0; k < 3; ++k) y0[k] = y[k];
    }
    (void)t;
    for (k = 0; k < 3; ++k) final_state[k] = y[k];
}
