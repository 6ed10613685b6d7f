/* clip: which reference points the fit uses, and the rejection of outlying
 * ones by iterative clipping about a robust centre and scale.
 * A point's state only ever moves from used to rejected, never back; the
 * plane is refitted over the used points after each round that rejects
 * any, and a round whose rejections would leave no solvable fit is undone. */
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tool.h"

/* The factor that makes the median absolute deviation of normally
 * distributed values an estimate of their standard deviation. */
static const double MAD_TO_SIGMA = 1.4826;

/* classify_points: state[i] for each of the count points: Point_outside
 * when it lies outside the samples x lines image, Point_unusable when its
 * value is not finite or equals the blank (as a float), else Point_used;
 * the same tests fit_plane applies.  Returns nothing; reads no shared state. */
void classify_points(const float *values, int samples, int lines, const int32_t *points,
                     int count, double blank, unsigned char *state)
{
    const float bf = static_cast<float>(blank);
    for (int i = 0; i < count; i++) {
        const int32_t x = points[2 * i];
        const int32_t y = points[2 * i + 1];
        if (x < 1 || x > samples || y < 1 || y > lines)
            state[i] = Point_outside;
        else if (!std::isfinite(values[i]) || values[i] == bf)
            state[i] = Point_unusable;
        else
            state[i] = Point_used;
    }
}

/* plane_at: the plane A + B*sample + C*line at one pixel, rounded as the
 * subtraction rounds it ((A + s*B) + l*C in double).  Returns the value. */
double plane_at(const double abc[3], int32_t sample, int32_t line)
{
    return (abc[0] + static_cast<double>(sample) * abc[1]) + static_cast<double>(line) * abc[2];
}

/* median_of: the median of the n > 0 values of v (the mean of the two
 * middle ones when n is even); v is reordered.  Returns the median. */
double median_of(double *v, int n)
{
    const int h = n / 2;
    std::nth_element(v, v + h, v + n);
    const double upper = v[h];
    if (n % 2 == 1)
        return upper;
    const double lower = *std::max_element(v, v + h);
    return (lower + upper) / 2.0;
}

/* clip_plane: starting from abc, the plane fitted over the points whose
 * state is Point_used, repeat at most rounds times: take each used point's
 * residual (value - plane), their median as centre and 1.4826 x the median
 * absolute deviation about it as scale, mark Point_rejected every used
 * point with |residual - centre| > k x scale, and refit over the rest.  It
 * stops when a round rejects nothing (a scale of 0 rejects nothing), and
 * when a round's rejections would leave fewer than 3 points or points on
 * one line: that round is undone and result->floor_reached set.
 * Returns 0 with state, abc and *result updated; -2 when out of memory
 * (nothing changed). */
int clip_plane(const float *values, const int32_t *points, int count, double k, int rounds,
               unsigned char *state, double abc[3], clip_result *result)
{
    result->rounds = 0;
    result->rejected = 0;
    result->floor_reached = 0;
    result->centre = 0.0;
    result->scale = 0.0;
    if (count <= 0)
        return 0;
    if (static_cast<size_t>(count) > SIZE_MAX / (2 * sizeof(double)))
        return -2;
    const size_t n_all = static_cast<size_t>(count);
    double *residual = static_cast<double *>(std::malloc(n_all * sizeof(double)));
    double *work = static_cast<double *>(std::malloc(n_all * sizeof(double)));
    unsigned char *trial = static_cast<unsigned char *>(std::malloc(n_all));
    int status = 0;
    if (residual == nullptr || work == nullptr || trial == nullptr)
        status = -2;

    for (int round = 1; status == 0 && round <= rounds; round++) {
        /* Residuals of the used points, and their centre and scale. */
        int n = 0;
        for (int i = 0; i < count; i++) {
            if (state[i] != Point_used)
                continue;
            residual[i] = static_cast<double>(values[i]) -
                          plane_at(abc, points[2 * i], points[2 * i + 1]);
            work[n++] = residual[i];
        }
        if (n == 0)
            break;
        const double centre = median_of(work, n);
        n = 0;
        for (int i = 0; i < count; i++)
            if (state[i] == Point_used)
                work[n++] = std::fabs(residual[i] - centre);
        const double scale = MAD_TO_SIGMA * median_of(work, n);
        result->centre = centre;
        result->scale = scale;
        /* A scale of 0 (or one that is not a number) says nothing about
         * which points are wild: nothing is rejected. */
        if (!(scale > 0.0))
            break;

        /* The points beyond the limit, tried on a copy of the states. */
        const double limit = k * scale;
        int newly = 0, kept = 0;
        std::memcpy(trial, state, n_all);
        for (int i = 0; i < count; i++) {
            if (state[i] != Point_used)
                continue;
            if (std::fabs(residual[i] - centre) > limit) {
                trial[i] = Point_rejected;
                newly++;
            } else {
                kept++;
            }
        }
        if (newly == 0)
            break;

        /* Refit over what is left; an unsolvable one keeps the last fit. */
        double refit[3];
        if (kept < 3 || fit_subset(values, points, count, trial, refit) != 0) {
            result->floor_reached = 1;
            break;
        }
        std::memcpy(state, trial, n_all);
        std::memcpy(abc, refit, sizeof refit);
        result->rounds = round;
        result->rejected += newly;
    }

    std::free(residual);
    std::free(work);
    std::free(trial);
    return status;
}
