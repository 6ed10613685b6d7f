// seed_images: small images written by the library's own writers, for the
// seed corpora and for the fixed headers that some harnesses open.
#ifndef SEED_IMAGES_H
#define SEED_IMAGES_H

#include <cstdint>
#include <string>
#include <vector>

struct seed_spec {
    int bitpix;
    int naxis;
    int naxes[3];
    bool scaled;
    double bscale, bzero;
    bool has_blank;
    int blank;
    int wcs;        // world-coordinate cards: index into the table, -1 none
    bool comments;  // OBJECT, COMMENT and HISTORY cards
};

// Variant 0..2 of an image of the given BITPIX: plain, scaled with a
// blank and comments, three axes with world coordinates.
seed_spec seed_variant(int bitpix, int variant);
// Write s to path (form from its ending) with a pixel pattern, blank
// pixels included when s has a blank.  Returns 0, or -1 when a library
// call failed.
int seed_write(const std::string &path, const seed_spec &s);
// An S file holding the FITS file img (an S record before it); empty when
// img has no END card.
std::vector<uint8_t> seed_s_from_fits(const std::vector<uint8_t> &img);
// A FITS file of two HDUs: the primary image of s, then an IMAGE
// extension named SCI holding the image of s2 (both written by the
// library, the second one's SIMPLE card turned into XTENSION).  Empty
// when a write failed.
std::vector<uint8_t> seed_two_hdus(const std::string &work, const seed_spec &s,
                                   const seed_spec &s2);
// The world-coordinate headers: how many, and a 64 x 48 (x 8 for the
// three-axis ones) BITPIX 16 image with header number h written to path.
int seed_wcs_count(void);
int seed_write_wcs(const std::string &path, int h);

// Parameter blocks of the writer and update harnesses (see fuzz_write.cpp,
// fuzz_update.cpp), seed number i.
std::vector<uint8_t> seed_write_params(int i);
std::vector<uint8_t> seed_update_params(int i, const char *subset);

#endif
