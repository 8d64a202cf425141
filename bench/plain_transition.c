/* The transition program written as plainly as C allows: constants and evaluation
 * variables at file scope, the model, the Runge-Kutta-Gill step and the time loop with
 * no abstraction at all. It prints the same trace, and serves as the floor against which
 * the program's own instruction count is measured:
 *   valgrind --tool=callgrind build/bench/plain_transition >/dev/null
 *   valgrind --tool=callgrind build/transition >/dev/null */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

static const double rho = 1.225, S = 1.2, m = 25.0, g = 9.81, d = 0.4826;
static const double aa = 0.000006, bb = 0.000159, cc = 0.0004, dd = -0.040786;
static const double VTT[3] = {39.85, -1.0136, 0.0145};
static double Q, A;
static double vel, qq, alphaj, Cx, Cz, drag, lift, thrust, force, acc, power;

static void FFFF(double* dydt, double* state, int n, double t) {
    double F;
    (void)n;
    (void)t;
    vel = state[0];
    qq = ((rho * 0.5) * vel) * vel;
    alphaj = dd + (((aa * vel * vel * vel) + (bb * vel * vel)) + cc * vel);
    Cx = ((alphaj * 1.0792 * alphaj) + 0.2131 * alphaj) + 0.0431;
    Cz = alphaj * 6.1069 + 0.5776;
    drag = Cx * (qq * S);
    lift = Cz * (qq * S);
    F = (VTT[0] + vel * VTT[1]) + VTT[2] * vel * vel;
    thrust = ((Q - lift) - sin(alphaj) * F) / cos(alphaj);
    if (thrust < 0.0) thrust = 0.0;
    force = (-drag - thrust * sin(alphaj)) + cos(alphaj) * F;
    acc = force / m;
    power = pow(thrust, 1.5) / sqrt(A * (rho + rho));
    printf("alpha %f Cx %f Cz %f\n", (180.0 * alphaj) / 3.141592653589793, Cx, Cz);
    printf("vel %f thrust %f drag %f lift %f \n", vel, thrust, drag, lift);
    dydt[0] = acc;
    dydt[1] = state[0];
    dydt[2] = power;
}

static void RKG4(void (*f)(double*, double*, int, double), double* y0, double* dydt, double* y,
                 int n, double h, double t) {
    static const double a[4] = {0.5, 0.292893219, 1.707106781, 0.1666666667};
    static const double b[4] = {0.5, 0.292893219, 1.707106781, 0.33333333};
    static const double c[4] = {0.5, 0.292893219, 1.707106781, 0.5};
    static const double tau[4] = {0.0, 0.5, 0.5, 1.0};
    double* q = calloc((size_t)n, sizeof *q);
    int i, j;
    if (q == NULL) abort();
    for (i = 0; i < n; ++i) y[i] = y0[i];
    for (j = 0; j < 4; ++j) {
        f(dydt, y, n, tau[j] * h + t);
        for (i = 0; i < n; ++i) {
            double k = dydt[i] * h;
            double r = a[j] * k - b[j] * q[i];
            y[i] = y[i] + r;
            q[i] = (3.0 * r - c[j] * k) + q[i];
        }
    }
    free(q);
}

static void calk(double* result) {
    double t = 0.0, h = 0.05, start[3] = {0.0, 0.0, 0.0}, end[3], dydt[3];
    int i, k;
    for (i = 0;; ++i) {
        RKG4(FFFF, start, dydt, end, 3, h, t);
        printf("t %f a %f v %f x %f w %f Q %f lift %f\n", t, dydt[0], end[0], end[1], end[2], Q, lift);
        if (end[0] > 25.0 || lift >= Q || i == 799) break;
        t = t + h;
        for (k = 0; k < 3; ++k) start[k] = end[k];
    }
    for (k = 0; k < 3; ++k) result[k] = end[k];
}

int main(void) {
    double result[3];
    Q = m * g;
    A = 4.0 * ((d * 0.7853981633974483) * d);
    calk(result);
    printf("\n alpha %f v %f x %f w %f\n", (180.0 * alphaj) / 3.141592653589793, result[0], result[1],
           result[2]);
    return fflush(stdout) != 0 || ferror(stdout);
}
