/* map_string: sky positions and angles written as text -- the sexagesimal
 * reader map_hms and the text front end of mapf, mapf_string.
 * Invariants: both edit their text in place and never write past its
 * terminator; a value that is not a finite number is refused. */
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "im.h"

static bool is_unit(char c)
{
    return c == 'h' || c == 'd' || c == 'm' || c == 's';
}

/* map_hms: read a plain number or a sexagesimal text ("12h30m", "-10d30m",
 * "45d30m15s") into *value, in degrees for a sexagesimal text.
 * Returns 1 sexagesimal, 0 plain number, -1 malformed (also for a null
 * argument or a number that is not finite; *value then untouched).
 * Overwrites each recognised unit letter with a NUL.  Does not touch f. */
int map_hms(char *string, double *value)
{
    if (string == nullptr || value == nullptr)
        return -1;
    if (string[0] == '\0' || static_cast<unsigned char>(string[0]) > '9')
        return -1; /* empty (no number) or not a digit, sign, point or blank */

    /* Cut into pieces at the unit letters: from the second character on,
     * never directly after another unit letter, at most three. */
    char *pieces[3] = {string, nullptr, nullptr};
    char units[3] = {0, 0, 0};
    int n_units = 0;
    bool after_unit = false;
    for (size_t i = 1; string[i] != '\0'; i++) {
        if (!after_unit && is_unit(string[i])) {
            if (n_units == 3)
                return -1;
            units[n_units] = string[i];
            string[i] = '\0';
            n_units++;
            if (n_units < 3)
                pieces[n_units] = string + i + 1;
            after_unit = true;
        } else {
            after_unit = false;
        }
    }

    /* Plain number: the leading number of the text, anything after it
     * ignored. */
    if (n_units == 0) {
        char *end = nullptr;
        double v = std::strtod(string, &end);
        if (end == string || !std::isfinite(v))
            return -1;
        *value = v;
        return 0;
    }

    /* Sexagesimal: each part read in single precision. */
    float part[3] = {0.0f, 0.0f, 0.0f};
    for (int k = 0; k < n_units; k++) {
        char *end = nullptr;
        part[k] = std::strtof(pieces[k], &end);
        if (end == pieces[k] || !std::isfinite(part[k]))
            return -1;
    }
    if (units[0] != 'h' && units[0] != 'd')
        return -1;
    if (units[0] == 'h')
        for (int k = 0; k < n_units; k++)
            part[k] *= 15.0f;
    if (string[0] == '-') {
        part[1] = -part[1];
        part[2] = -part[2];
    }
    double v = part[0];
    if (n_units > 1) {
        if (units[1] != 'm')
            return -1;
        v += part[1] / 60.0;
    }
    if (n_units > 2) {
        if (units[2] != 's')
            return -1;
        v += part[2] / 3600.0;
    }
    if (!std::isfinite(v))
        return -1;
    *value = v;
    return 1;
}

/* mapf_string: map a position written as text -- optional system letter
 * (e, g, r in either case), longitude, signed latitude -- to the pixel
 * position (out_x, out_y) through p.  The text is edited in place.
 * Returns 0; -1 no latitude sign after the longitude (or a null text);
 * -2 longitude malformed; -3 latitude malformed; -4 no system (no letter
 * and a longitude that is not sexagesimal); -5 mapf failed. */
int mapf_string(map_struct *p, char *string, double *out_x, double *out_y)
{
    if (string == nullptr)
        return -1;

    /* System letter, if any, in front of the longitude. */
    int letter = 0;
    char *lon_text = string;
    switch (string[0]) {
    case 'E':
    case 'e':
        letter = 'e';
        break;
    case 'G':
    case 'g':
        letter = 'g';
        break;
    case 'R':
    case 'r':
        letter = 'r';
        break;
    default:
        break;
    }
    if (letter != 0)
        lon_text = string + 1;

    /* The latitude begins at the first sign after the longitude's first
     * character. */
    if (lon_text[0] == '\0')
        return -1;
    char *sign = nullptr;
    for (char *c = lon_text + 1; *c != '\0'; c++) {
        if (*c == '+' || *c == '-') {
            sign = c;
            break;
        }
    }
    if (sign == nullptr)
        return -1;

    double lat = 0.0;
    if (map_hms(sign, &lat) < 0)
        return -3;
    *sign = '\0';
    double lon = 0.0;
    int kind = map_hms(lon_text, &lon);
    if (kind < 0)
        return -2;

    /* A longitude in hours or degrees units without a letter is taken as
     * equatorial. */
    if (kind == 1 && letter == 0)
        letter = 'r';
    if (letter == 0)
        return -4;
    if (mapf(p, letter, lon, lat, out_x, out_y) != 0)
        return -5;
    return 0;
}
