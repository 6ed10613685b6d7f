/* flatten: least-squares plane fit to reference pixels and its subtraction.
 * The plane is Z = A + B*sample + C*line with 1-based sample and line; the
 * 3x3 normal equations are solved by Cramer's rule.  Pixels are float,
 * sample index fastest; every pixel gets the identical computation: the
 * plane (A + sample*B) + line*C in double, subtracted in double, whether
 * the image is held whole or passes through in blocks. */
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tool.h"

/* mk2darray: set *out to a new array of count pointers base, base + step,
 * base + 2*step, ...; *out is null when memory runs out.  The caller frees
 * the array (free); the rows stay owned by base's owner. */
void mk2darray(const int32_t *base, int step, int count, const int32_t ***out)
{
    size_t n = count > 0 ? static_cast<size_t>(count) : 1;
    const int32_t **rows = nullptr;
    if (n <= SIZE_MAX / sizeof *rows)  /* a 32-bit size_t wraps from 2^30 rows */
        rows = static_cast<const int32_t **>(std::malloc(n * sizeof *rows));
    if (rows != nullptr)
        for (int i = 0; i < count; i++)
            rows[i] = base + static_cast<size_t>(i) * step;
    *out = rows;
}

/* Exact double arithmetic for det3.  Every operation below is a plain
 * IEEE double operation (contraction into fused multiply-adds is off for
 * the whole build and 32-bit x86 uses SSE2), so the result is the same bit
 * pattern on every host, which long double (80 bits on x86, 128 on s390x,
 * 64 on ARM) could not give. */
namespace {

/* a + b = *hi + *lo exactly (Knuth's two-sum). */
void two_sum(double a, double b, double *hi, double *lo)
{
    double x = a + b;
    double bv = x - a;
    double av = x - bv;
    *hi = x;
    *lo = (a - av) + (b - bv);
}

/* a = *hi + *lo with each half holding at most 26 significant bits
 * (Veltkamp's split), so that products of halves are exact. */
void split(double a, double *hi, double *lo)
{
    double c = 134217729.0 * a; /* 2^27 + 1 */
    double big = c - a;
    *hi = c - big;
    *lo = a - *hi;
}

/* a * b = *hi + *lo exactly (Dekker's two-product). */
void two_product(double a, double b, double *hi, double *lo)
{
    double x = a * b;
    double ah, al, bh, bl;
    split(a, &ah, &al);
    split(b, &bh, &bl);
    double err = ((x - ah * bh) - al * bh) - ah * bl;
    *hi = x;
    *lo = al * bl - err;
}

/* Appends sign * a * b * c to the expansion e[0..*n) as four exact terms
 * (e holds terms smallest first and never overlapping). */
void add_triple(double sign, double a, double b, double c, double *e, int *n)
{
    double p, q, t[4];
    two_product(sign * a, b, &p, &q);
    two_product(p, c, &t[0], &t[1]);
    two_product(q, c, &t[2], &t[3]);
    for (double term : t) {
        for (int i = 0; i < *n; i++)
            two_sum(term, e[i], &term, &e[i]);
        e[(*n)++] = term;
    }
}

} // namespace

/* det3: determinant of the row-major 3x3 matrix m by the rule of Sarrus
 * (m0m4m8 + m1m5m6 + m2m3m7 - m2m4m6 - m1m3m8 - m0m5m7), each product and
 * the sum kept exactly and rounded once at the end: a singular matrix of
 * representable sums gives exactly 0, and every host gives the same bits. */
double det3(const double *m)
{
    double e[24];
    int n = 0;
    add_triple(1.0, m[0], m[4], m[8], e, &n);
    add_triple(1.0, m[1], m[5], m[6], e, &n);
    add_triple(1.0, m[2], m[3], m[7], e, &n);
    add_triple(-1.0, m[2], m[4], m[6], e, &n);
    add_triple(-1.0, m[1], m[3], m[8], e, &n);
    add_triple(-1.0, m[0], m[5], m[7], e, &n);
    /* Non-finite input: the exact sum has no meaning, the plain one does. */
    double plain = m[0] * m[4] * m[8] + m[1] * m[5] * m[6] + m[2] * m[3] * m[7] -
                   m[2] * m[4] * m[6] - m[1] * m[3] * m[8] - m[0] * m[5] * m[7];
    if (!std::isfinite(plain))
        return plain;
    /* The terms do not overlap and grow in size: summed from the smallest
     * up they give the exact value to within one unit of its last place,
     * with its sign, and 0 only when it is 0. */
    double d = 0.0;
    for (int i = 0; i < n; i++)
        d += e[i];
    return d;
}

/* solvlin: solve matrix * solution = rhs for an n x n row-major matrix by
 * Cramer's rule.  Returns 0; -1 when n is not 3 (the only size supported);
 * -10 when the determinant is exactly 0.  solution is written only on 0. */
int solvlin(const double *matrix, int n, const double *rhs, double *solution)
{
    if (debug > 5)
        std::fputs("solvlin(det3)> executing...\n", stderr);
    if (n != 3)
        return -1;

    double m[9], b[3];
    std::memcpy(m, matrix, sizeof m);
    std::memcpy(b, rhs, sizeof b);
    if (debug > 8) {
        std::fputs("solvlin> To solve [M] * X = B, for X where:\n", stderr);
        for (int i = 0; i < 3; i++)
            for (int j = 0; j < 3; j++)
                std::fprintf(stderr, "M[%d][%d] = %f\n", i, j, m[3 * i + j]);
        for (int i = 0; i < 3; i++)
            std::fprintf(stderr, "B[%d]     = %f\n", i, b[i]);
    }

    double delta = det3(m);
    if (debug > 8)
        std::fprintf(stderr, "Found Delta = %f\n", delta);
    if (delta == 0.0)
        return -10;

    /* Column j of the matrix replaced by b gives the numerator of x[j]. */
    for (int j = 0; j < 3; j++) {
        double c[9];
        std::memcpy(c, m, sizeof c);
        for (int i = 0; i < 3; i++)
            c[3 * i + j] = b[i];
        solution[j] = det3(c) / delta;
        if (debug > 8)
            std::fprintf(stderr, "Found x[%d] = %f\n", j, solution[j]);
    }
    if (debug > 5)
        std::fputs("solvlin(det3)> packing up...\n", stderr);
    return 0;
}

/* Subtract the plane from one line of samples pixels, given ab[s] =
 * A + (s+1)*B for every sample and lc = l*C for the line: the plane is
 * (A + (s+1)*B) + l*C, the same double as evaluated whole.  With a NaN
 * blank (the library's) no pixel compares equal to it, so the loop has no
 * test at all; NaN pixels stay NaN.  Any other blank value is kept
 * wherever a pixel equals it (a select, so this loop vectorises too).
 * With keys non-null the order keys of the finite values stored are folded
 * into the running extremes keys[0] (maximum) and keys[1] (minimum): an
 * unsigned max and min, exact reductions the loops vectorise as well. */
TOOL_VECTOR_KERNEL static void subtract_line(float *row, int samples, const double *ab, double lc,
                                             float bf, uint32_t *keys)
{
    if (keys == nullptr) {
        if (std::isnan(bf)) {
            for (int s = 0; s < samples; s++)
                row[s] = static_cast<float>(static_cast<double>(row[s]) - (ab[s] + lc));
            return;
        }
        for (int s = 0; s < samples; s++) {
            float v = row[s];
            float d = static_cast<float>(static_cast<double>(v) - (ab[s] + lc));
            row[s] = v == bf ? v : d;
        }
        return;
    }

    /* Local copies: the row is not known not to overlap keys. */
    uint32_t hi = keys[0];
    uint32_t lo = keys[1];
    if (std::isnan(bf)) {
        for (int s = 0; s < samples; s++) {
            float d = static_cast<float>(static_cast<double>(row[s]) - (ab[s] + lc));
            row[s] = d;
            uint32_t kh = range_key_hi(d);
            uint32_t kl = range_key_lo(d);
            hi = kh > hi ? kh : hi;
            lo = kl < lo ? kl : lo;
        }
    } else {
        for (int s = 0; s < samples; s++) {
            float v = row[s];
            float d = static_cast<float>(static_cast<double>(v) - (ab[s] + lc));
            float r = v == bf ? v : d;
            row[s] = r;
            uint32_t kh = range_key_hi(r);
            uint32_t kl = range_key_lo(r);
            hi = kh > hi ? kh : hi;
            lo = kl < lo ? kl : lo;
        }
    }
    keys[0] = hi;
    keys[1] = lo;
}

/* subtract_block: subtract the plane a + b*sample + c*line from the n
 * pixels that start at pixel first (0-based, sample index fastest) of an
 * image of samples per line.  A + (s+1)*B is worked out once per sample
 * of each piece of a fixed number of samples (nothing is allocated) and
 * l*C once per line, so every pixel gets (A + s*B) + l*C whatever block it
 * arrives in.  With keys non-null the order keys of the finite results are
 * folded into keys[0] (maximum) and keys[1] (minimum). */
void subtract_block(float *pixels, int64_t n, int64_t first, int samples, const double abc[3],
                    float bf, uint32_t *keys)
{
    enum { PIECE = 4096 };
    double ab[PIECE];
    int s = static_cast<int>(first % samples);
    int64_t l = first / samples + 1;
    while (n > 0) {
        /* A run of whole lines from the start of a line, else what is
         * left of the current line (or of the block). */
        const int64_t whole = s == 0 ? n / samples : 0;
        const int64_t rows = whole > 0 ? whole : 1;
        const int width = whole > 0 ? samples
                                    : static_cast<int>(n < samples - s ? n : samples - s);
        for (int p0 = 0; p0 < width; p0 += PIECE) {
            const int k = width - p0 < PIECE ? width - p0 : PIECE;
            for (int i = 0; i < k; i++)
                ab[i] = abc[0] + static_cast<double>(s + p0 + i + 1) * abc[1];
            for (int64_t r = 0; r < rows; r++)
                subtract_line(pixels + r * samples + p0, k, ab,
                              static_cast<double>(l + r) * abc[2], bf, keys);
        }
        const int64_t done = whole > 0 ? whole * samples : width;
        pixels += done;
        n -= done;
        if (whole > 0) {
            l += whole;
        } else {
            s += width;
            if (s == samples) {
                s = 0;
                l++;
            }
        }
    }
}

/* Largest and smallest of the n values that are not NaN (infinities
 * kept), into *hi and *lo; -FLT_MAX and FLT_MAX when every value is NaN.
 * The extremes are unsigned max and min of order keys, exact reductions
 * that vectorise (a float max does not: its order of visits matters). */
TOOL_VECTOR_KERNEL static void value_bounds(const float *v, int n, float *hi, float *lo)
{
    uint32_t h = 0u, l = 0xffffffffu;
    for (int i = 0; i < n; i++) {
        uint32_t u;
        std::memcpy(&u, v + i, sizeof u);
        const uint32_t number = 0u - static_cast<uint32_t>((u & 0x7fffffffu) <= 0x7f800000u);
        const uint32_t key = u ^ ((0u - (u >> 31)) | 0x80000000u);
        const uint32_t kh = key & number;
        const uint32_t kl = key | ~number;
        h = kh > h ? kh : h;
        l = kl < l ? kl : l;
    }
    *hi = h == 0u ? -FLT_MAX : range_key_value(h);
    *lo = h == 0u ? FLT_MAX : range_key_value(l);
}

/* range_block: fold into keys (as subtract_block does) the order keys of
 * the finite results of subtracting the plane from the n pixels that
 * start at pixel first; the pixels may be overwritten.  Each segment of a
 * line is first bounded: the plane is monotonic along a line, so its
 * results lie within [fl(min - plane max), fl(max - plane min)] (float
 * and double rounding keep order), and a segment whose bounds lie
 * strictly inside the extremes found so far can hold neither extreme nor
 * a tie, and is not evaluated.  The keys end exactly as subtract_block
 * would leave them.  A blank that is a number (kept as it is) disables the
 * bounds. */
void range_block(float *pixels, int64_t n, int64_t first, int samples, const double abc[3],
                 float bf, uint32_t keys[2])
{
    enum { SEGMENT = 1024 };
    double ab[SEGMENT];
    int s = static_cast<int>(first % samples);
    int64_t l = first / samples + 1;
    while (n > 0) {
        const int k = static_cast<int>(std::min<int64_t>(std::min(n, int64_t(samples - s)),
                                                         SEGMENT));
        const double lc = static_cast<double>(l) * abc[2];
        bool evaluate = !std::isnan(bf) || keys[0] == RANGE_NO_HI;
        if (!evaluate) {
            float vhi, vlo;
            value_bounds(pixels, k, &vhi, &vlo);
            const double p0 = (abc[0] + static_cast<double>(s + 1) * abc[1]) + lc;
            const double p1 = (abc[0] + static_cast<double>(s + k) * abc[1]) + lc;
            const double pmin = p0 < p1 ? p0 : p1;
            const double pmax = p0 < p1 ? p1 : p0;
            const float dhi = static_cast<float>(static_cast<double>(vhi) - pmin);
            const float dlo = static_cast<float>(static_cast<double>(vlo) - pmax);
            /* Not both strictly inside (NaN compares false: evaluate). */
            evaluate = !(dhi < range_key_value(keys[0]) && dlo > range_key_value(keys[1]));
        }
        if (evaluate) {
            for (int i = 0; i < k; i++)
                ab[i] = abc[0] + static_cast<double>(s + i + 1) * abc[1];
            subtract_line(pixels, k, ab, lc, bf, keys);
        }
        pixels += k;
        n -= k;
        s += k;
        if (s == samples) {
            s = 0;
            l++;
        }
    }
}

/* The sums of the normal equations of Z = A + B*x + C*y over the points
 * added so far, in the order they were added (the order fixes the bits). */
struct normal_sums {
    int n;
    double sumx, sumy, sumz, sumxx, sumxy, sumxz, sumyy, sumyz;
};

static void add_point(normal_sums *s, double dx, double dy, double dz)
{
    s->n++;
    s->sumx += dx;
    s->sumy += dy;
    s->sumxy += dx * dy;
    s->sumxx += dx * dx;
    s->sumyy += dy * dy;
    s->sumz += dz;
    s->sumxz += dz * dx;
    s->sumyz += dz * dy;
}

/* solve_sums: the plane of the sums into abc (solvlin).  Returns 0; -1
 * when the normal equations are singular (abc untouched). */
static int solve_sums(const normal_sums *s, double abc[3])
{
    const double m[9] = {static_cast<double>(s->n), s->sumx, s->sumy,
                         s->sumx, s->sumxx, s->sumxy,
                         s->sumy, s->sumxy, s->sumyy};
    const double b[3] = {s->sumz, s->sumxz, s->sumyz};
    double solved[3];
    if (solvlin(m, 3, b, solved) != 0)
        return -1;
    std::memcpy(abc, solved, sizeof solved);
    return 0;
}

/* fit_plane: fit Z = A + B*sample + C*line by least squares to the
 * reference points (count (x, y) pairs, 1-based) of a samples x lines
 * image, values[i] being the pixel at point i (read only for points inside
 * the image).  Points outside the image and points whose pixel is blank
 * (NaN or equal to blank) or infinite are left out.  Returns 0 with abc
 * set to A, B, C; -1 when the normal equations are singular.  Ends the
 * process with status 1 when out of memory, 14 at debug level 14. */
int fit_plane(const float *values, int samples, int lines, const int32_t *points, int count,
              double blank, double abc[3])
{
    const float bf = static_cast<float>(blank);

    if (debug > 3)
        std::fputs("flatten> executing...\n", stderr);
    if (debug > 7) {
        std::fputs("flatten> input parameters\n", stderr);
        std::fprintf(stderr, " samples = %d, lines = %d, reference point count = %d\n",
                     samples, lines, count);
    }

    const int32_t **rows = nullptr;
    mk2darray(points, 2, count, &rows);
    if (rows == nullptr) {
        std::fputs("Flatten needs space for ptrlist, ran out of memory\n", stderr);
        std::exit(1);
    }

    if (debug == 14) {
        std::fputs("Interpreted inputs in flatten:\n", stderr);
        std::fprintf(stderr, "Number of reference points = %d\n", count);
        std::fputs("Point   X    Y \n", stderr);
        std::fputs("---------------\n", stderr);
        for (int i = 0; i < count; i++)
            std::fprintf(stderr, "%4d %4d %4d\n", i, rows[i][0], rows[i][1]);
        std::fprintf(stderr, "Terminating on Debug mode = %d\n", debug);
        std::exit(14);
    }

    /* Accumulate the sums of the normal equations over the usable points. */
    normal_sums sums{};
    for (int i = 0; i < count; i++) {
        int32_t x = rows[i][0];
        int32_t y = rows[i][1];
        if (x < 1 || x > samples || y < 1 || y > lines)
            continue;
        float z = values[i];
        /* Blank and infinite pixels carry no level: one of them in the
         * sums would turn the whole plane, and so every pixel, into NaN. */
        if (!std::isfinite(z) || z == bf)
            continue;
        if (debug > 8)
            std::fprintf(stderr, "ref %d: value = %.6g\n", i, z);
        add_point(&sums, x, y, z);
    }
    std::free(rows);

    if (debug > 7) {
        std::fputs("flatten(7) Dumping accumulators...\n", stderr);
        std::fprintf(stderr, "counter = %d\n", sums.n);
        std::fprintf(stderr, "sumx    = %g\n", sums.sumx);
        std::fprintf(stderr, "sumy    = %g\n", sums.sumy);
        std::fprintf(stderr, "sumz    = %g\n", sums.sumz);
        std::fprintf(stderr, "sumxx   = %g\n", sums.sumxx);
        std::fprintf(stderr, "sumxy   = %g\n", sums.sumxy);
        std::fprintf(stderr, "sumxz   = %g\n", sums.sumxz);
        std::fprintf(stderr, "sumyy   = %g\n", sums.sumyy);
        std::fprintf(stderr, "sumyz   = %g\n", sums.sumyz);
        std::fputc('\n', stderr);
    }

    if (solve_sums(&sums, abc) != 0)
        return -1;

    if (debug > 2) {
        std::fputs("Least Squares fit plane defined by Z = A + B(samp) + C(line)\n", stderr);
        std::fputs("where,\n", stderr);
        std::fprintf(stderr, "A = %.6f\n", abc[0]);
        std::fprintf(stderr, "B = %.6f\n", abc[1]);
        std::fprintf(stderr, "C = %.6f\n", abc[2]);
    }
    return 0;
}

/* fit_subset: the least-squares plane over the points whose state is
 * Point_used, with the sums taken in point order exactly as fit_plane
 * takes them, so the same points give the same bits.  Prints nothing of
 * its own (solvlin's debug lines aside).  Returns 0 with abc set; -1 when
 * the normal equations are singular (abc untouched). */
int fit_subset(const float *values, const int32_t *points, int count, const unsigned char *state,
               double abc[3])
{
    normal_sums sums{};
    for (int i = 0; i < count; i++)
        if (state[i] == Point_used)
            add_point(&sums, points[2 * i], points[2 * i + 1], values[i]);
    return solve_sums(&sums, abc);
}

/* flatten: fit the plane (as fit_plane) to the pixels at the reference
 * points of the samples x lines buffer and subtract it from every pixel.
 * With range non-null, a return of 0 also fills *range with the range of
 * the finite pixels of the buffer after the subtraction (blank pixels kept
 * included), found in the same pass; on -1 *range is not written.
 * Returns 0; -1 when the normal equations are singular (pixels untouched).
 * Ends the process with status 1 when out of memory, 14 at debug level 14. */
int flatten(float *pixels, int samples, int lines, const int32_t *points, int count,
            double blank, pixel_range *range)
{
    /* The pixel under each point inside the image (others are not read). */
    float *values = nullptr;
    if (count <= 0 || static_cast<size_t>(count) <= SIZE_MAX / sizeof(float))
        values = static_cast<float *>(
            std::malloc((count > 0 ? static_cast<size_t>(count) : 1) * sizeof(float)));
    if (values == nullptr) {
        std::fputs("Flatten needs space for ptrlist, ran out of memory\n", stderr);
        std::exit(1);
    }
    for (int i = 0; i < count; i++) {
        const int32_t x = points[2 * i];
        const int32_t y = points[2 * i + 1];
        values[i] = x < 1 || x > samples || y < 1 || y > lines
                        ? 0.0f
                        : pixels[static_cast<size_t>(samples) * (y - 1) + (x - 1)];
    }
    double abc[3];
    const int fitted = fit_plane(values, samples, lines, points, count, blank, abc);
    std::free(values);
    if (fitted != 0)
        return -1;

    uint32_t keys[2] = {RANGE_NO_HI, RANGE_NO_LO};
    subtract_block(pixels, static_cast<int64_t>(samples) * lines, 0, samples, abc,
                   static_cast<float>(blank), range != nullptr ? keys : nullptr);
    if (range != nullptr)
        range_from_keys(keys[0], keys[1], range);
    return 0;
}
