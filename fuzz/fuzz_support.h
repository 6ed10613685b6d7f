// fuzz_support: what every harness shares -- a private temporary folder
// (made once per process, removed at exit) where inputs are written as
// files, since the library opens images by name; splitting one input into
// several files; and a bounded read of an open image's keys and pixels.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The folder for this process's files (created on first use).
const std::string &fz_dir(void);
// fz_dir() + "/" + name.
std::string fz_path(const std::string &name);
// Write len bytes to fz_path(name), replacing the file (no fsync).
// Aborts on failure: a harness that cannot write its input tests nothing.
void fz_write(const std::string &name, const uint8_t *data, size_t len);
// Remove fz_path(name) if present.
void fz_remove(const std::string &name);

// Split data into two pieces: a 4-byte little-endian length n, then n bytes
// (piece one, cut to what is there), then the rest (piece two).
void fz_split(const uint8_t *data, size_t size, std::vector<uint8_t> &one,
              std::vector<uint8_t> &two);
// The inverse, for seed generation.
std::vector<uint8_t> fz_join(const std::vector<uint8_t> &one, const std::vector<uint8_t> &two);

// Exercise an open image for reading: typed keyword reads, a walk over
// every card, the world-coordinate record, and a bounded pixel read in the
// type picked by pick (0..4: float, double, int, short, byte).  Aborts when
// a library invariant is broken (a card longer than 80 characters, more
// pixels reported than asked for).  Does not close the image.
void fz_exercise(int id, unsigned pick);

// Stop the process with a message (a finding, seen by libFuzzer as a crash).
[[noreturn]] void fz_fail(const char *what);

// Open fz_path(name) for writing and give it BITPIX, NAXIS and NAXISn from
// naxes[0..naxis); returns its handle (a failed open is a finding).
int fz_new_image(const std::string &name, int bitpix, int naxis, const int *naxes);


// Abort when image id holds BITPIX, NAXIS or NAXIS1..NAXIS9 more than once:
// the card store refuses a repeat of another value and keeps no repeat of
// the same value, so the pixel layout and keyword reads agree on one card.
void fz_check_layout_cards(int id);

// Open name for reading and exercise it (fz_exercise), then close it.
// When update is set, also open it for update, close it unchanged, and
// require that a close reported as success leaves an image that opens
// again with the same cards.  Returns the handle of the read open, or its
// negative code.
int fz_read_image(const std::string &name, unsigned pick, bool update);

// Split data (fz_split) into a header file hdr_name and a pixel file
// pix_name, then read the header file as fz_read_image does, the last input
// byte picking the pixel type and whether to also open for update.
void fz_read_split(const uint8_t *data, size_t size, const char *hdr_name,
                   const char *pix_name);

// What a pixel written through a writer must read back as (im_rpix_d),
// given how the image stores it.
struct fz_store {
    int bitpix;      // BITPIX the image was written with
    double bscale;   // 1.0 when absent
    double bzero;    // 0.0 when absent
    bool has_blank;  // a BLANK card
    int blank;
    char form;       // 'f' FITS (floats scaled both ways), 'z' ZZ, 'i' IRAF
                     // (blank pixels lossy by design, scaled integers may
                     // have become real pixels); ZZ and IRAF floats are
                     // never scaled
    char writer;     // 'r', 'd' (float writers) or 'i', 's', 'c'
};
// Check that back is what v (the caller's value) must read back as; on a
// mismatch print both with what and abort.  Cases whose result the
// writers leave open (a blank code outside the stored range, scaling
// that does not give a finite stored value) are not checked.
void fz_check_value(const fz_store &s, double v, double back, const char *what);

#endif
