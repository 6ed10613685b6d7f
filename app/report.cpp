/* report: the fit report, as text for people or as one JSON object for
 * pipelines, both carrying the same numbers: the points read, used and
 * left out (with why and where), the residuals over the used points and
 * the plane at the image's corners.  Points are numbered from 0 in input
 * order, as the debug echoes number them. */
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "tool.h"

/* The figures both forms print, worked out once. */
struct report_figures {
    int by_state[4];           /* points in each point_state */
    double rms;                /* residual RMS over the used points */
    int worst;                 /* point of the largest |residual|, -1: none */
    double worst_residual;
    int32_t corner[4][2];      /* (1,1), (S,1), (1,L), (S,L) */
    double corner_value[4];
};

/* Count the states, the residual RMS and the largest residual (the first
 * point holding it), and the plane at the corners, into *fig. */
static void work_out(report_figures *fig, const float *values, int samples, int lines,
                     const int32_t *points, int count, const unsigned char *state,
                     const double abc[3])
{
    for (int s = 0; s < 4; s++)
        fig->by_state[s] = 0;
    double sum2 = 0.0;
    fig->worst = -1;
    fig->worst_residual = 0.0;
    for (int i = 0; i < count; i++) {
        fig->by_state[state[i] < 4 ? state[i] : static_cast<int>(Point_unusable)]++;
        if (state[i] != Point_used)
            continue;
        const double r = static_cast<double>(values[i]) -
                         plane_at(abc, points[2 * i], points[2 * i + 1]);
        sum2 += r * r;
        if (fig->worst < 0 || std::fabs(r) > std::fabs(fig->worst_residual)) {
            fig->worst = i;
            fig->worst_residual = r;
        }
    }
    const int used = fig->by_state[Point_used];
    fig->rms = used > 0 ? std::sqrt(sum2 / used) : NAN;
    const int32_t xs[4] = {1, samples, 1, samples};
    const int32_t ys[4] = {1, 1, lines, lines};
    for (int c = 0; c < 4; c++) {
        fig->corner[c][0] = xs[c];
        fig->corner[c][1] = ys[c];
        fig->corner_value[c] = plane_at(abc, xs[c], ys[c]);
    }
}

/* The text's heading for the points left out in each state. */
static const char *left_out_heading(point_state s)
{
    switch (s) {
    case Point_outside:
        return "Left out, outside the image";
    case Point_unusable:
        return "Left out, blank or not finite";
    case Point_rejected:
        return "Left out, rejected by clipping";
    case Point_used:
        return "Used";
    default:
        return "?";
    }
}

/* The JSON member naming the points left out in each state. */
static const char *left_out_member(point_state s)
{
    switch (s) {
    case Point_outside:
        return "outside";
    case Point_unusable:
        return "blank_or_not_finite";
    case Point_rejected:
        return "rejected";
    case Point_used:
        return "used";
    default:
        return "unknown";
    }
}

/* A JSON number that reads back to the same double; null for NaN and
 * the infinities, which JSON cannot hold. */
static void json_number(FILE *to, double v)
{
    if (std::isfinite(v))
        std::fprintf(to, "%.17g", v);
    else
        std::fputs("null", to);
}

static void write_text(FILE *to, const report_figures *fig, const float *values,
                       const int32_t *points, int count, const unsigned char *state,
                       const double abc[3], const run_options *options, const clip_result *clip)
{
    std::fputs("Fit report\n", to);
    std::fprintf(to, "Points read: %d\n", count);
    std::fprintf(to, "Points used: %d\n", fig->by_state[Point_used]);
    const point_state left[3] = {Point_outside, Point_unusable, Point_rejected};
    for (const point_state s : left) {
        std::fprintf(to, "%s: %d\n", left_out_heading(s), fig->by_state[s]);
        for (int i = 0; i < count; i++) {
            if (state[i] != s)
                continue;
            std::fprintf(to, "  point %d (%d, %d)", i, points[2 * i], points[2 * i + 1]);
            if (s == Point_rejected)
                std::fprintf(to, " residual %.10g",
                             static_cast<double>(values[i]) -
                                 plane_at(abc, points[2 * i], points[2 * i + 1]));
            std::fputc('\n', to);
        }
    }
    std::fprintf(to, "Plane: A = %.10g, B = %.10g, C = %.10g\n", abc[0], abc[1], abc[2]);
    std::fprintf(to, "Residual RMS over the used points: %.10g\n", fig->rms);
    if (fig->worst >= 0)
        std::fprintf(to, "Largest residual: %.10g at point %d (%d, %d)\n", fig->worst_residual,
                     fig->worst, points[2 * fig->worst], points[2 * fig->worst + 1]);
    std::fputs("Plane at the corners:\n", to);
    for (int c = 0; c < 4; c++)
        std::fprintf(to, "  (%d, %d) %.10g\n", fig->corner[c][0], fig->corner[c][1],
                     fig->corner_value[c]);
    if (options != nullptr && options->clip_k > 0.0 && clip != nullptr)
        std::fprintf(to, "Clipping: K = %.10g, at most %d rounds; %d rounds rejected %d points; "
                     "last centre %.10g (median), scale %.10g (1.4826 x MAD)%s\n",
                     options->clip_k, options->clip_rounds, clip->rounds, clip->rejected,
                     clip->centre, clip->scale,
                     clip->floor_reached ? "; stopped to keep 3 points not on one line" : "");
}

static void write_json(FILE *to, const report_figures *fig, const float *values,
                       const int32_t *points, int count, const unsigned char *state,
                       const double abc[3], const run_options *options, const clip_result *clip)
{
    std::fprintf(to, "{\"points_read\": %d, \"points_used\": %d", count,
                 fig->by_state[Point_used]);
    const point_state left[3] = {Point_outside, Point_unusable, Point_rejected};
    for (const point_state s : left) {
        std::fprintf(to, ", \"%s\": [", left_out_member(s));
        const char *sep = "";
        for (int i = 0; i < count; i++) {
            if (state[i] != s)
                continue;
            std::fprintf(to, "%s{\"point\": %d, \"sample\": %d, \"line\": %d", sep, i,
                         points[2 * i], points[2 * i + 1]);
            if (s == Point_rejected) {
                std::fputs(", \"residual\": ", to);
                json_number(to, static_cast<double>(values[i]) -
                                    plane_at(abc, points[2 * i], points[2 * i + 1]));
            }
            std::fputc('}', to);
            sep = ", ";
        }
        std::fputc(']', to);
    }
    std::fputs(", \"plane\": {\"A\": ", to);
    json_number(to, abc[0]);
    std::fputs(", \"B\": ", to);
    json_number(to, abc[1]);
    std::fputs(", \"C\": ", to);
    json_number(to, abc[2]);
    std::fputs("}, \"residual_rms\": ", to);
    json_number(to, fig->rms);
    std::fputs(", \"largest_residual\": ", to);
    if (fig->worst >= 0) {
        std::fprintf(to, "{\"point\": %d, \"sample\": %d, \"line\": %d, \"residual\": ",
                     fig->worst, points[2 * fig->worst], points[2 * fig->worst + 1]);
        json_number(to, fig->worst_residual);
        std::fputc('}', to);
    } else {
        std::fputs("null", to);
    }
    std::fputs(", \"corners\": [", to);
    for (int c = 0; c < 4; c++) {
        std::fprintf(to, "%s{\"sample\": %d, \"line\": %d, \"value\": ", c > 0 ? ", " : "",
                     fig->corner[c][0], fig->corner[c][1]);
        json_number(to, fig->corner_value[c]);
        std::fputc('}', to);
    }
    std::fputs("], \"clip\": ", to);
    if (options != nullptr && options->clip_k > 0.0 && clip != nullptr) {
        std::fputs("{\"k\": ", to);
        json_number(to, options->clip_k);
        std::fprintf(to, ", \"max_rounds\": %d, \"rounds\": %d, \"rejected\": %d, \"centre\": ",
                     options->clip_rounds, clip->rounds, clip->rejected);
        json_number(to, clip->centre);
        std::fputs(", \"scale\": ", to);
        json_number(to, clip->scale);
        std::fprintf(to, ", \"stopped_at_floor\": %s}", clip->floor_reached ? "true" : "false");
    } else {
        std::fputs("null", to);
    }
    std::fputs("}\n", to);
}

/* write_report: the fit report of the plane abc over the count points
 * (state from classify_points and clipping; values as fit_plane takes
 * them) of a samples x lines image, as text (Report_text) or JSON (the two
 * JSON kinds) on to; clip may be null when no clipping was asked for.
 * Returns 0; -2 when the stream reports a write error; -1 for
 * Report_none (nothing written). */
int write_report(FILE *to, report_kind kind, const float *values, int samples, int lines,
                 const int32_t *points, int count, const unsigned char *state,
                 const double abc[3], const run_options *options, const clip_result *clip)
{
    report_figures fig;
    work_out(&fig, values, samples, lines, points, count, state, abc);
    switch (kind) {
    case Report_text:
        write_text(to, &fig, values, points, count, state, abc, options, clip);
        break;
    case Report_json:
    case Report_json_file:
        write_json(to, &fig, values, points, count, state, abc, options, clip);
        break;
    case Report_none:
        return -1;
    default:
        return -1;
    }
    if (std::fflush(to) != 0 || std::ferror(to))
        return -2;
    return 0;
}
