// A D2XX driver stand-in for fuzzing: one device that answers every call at
// once. What "the reader" sends is a script of pieces taken from the fuzz
// input: each poll of the receive queue makes the next piece readable. One
// chosen call may fail, to reach the error paths.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Starts a new run: the script of pieces (each: a length byte L, then
// L % 65 bytes of text, fewer where the input ends), the driver's receive
// buffer empty. When fail_call is nonzero, the fail_call-th call on the
// device handle fails with status 4 (I/O error).
__attribute__((visibility("default"))) void fuzz_d2xx_load(const uint8_t* script, size_t n,
                                                           unsigned fail_call);
// True once every piece of the script has been made readable.
__attribute__((visibility("default"))) bool fuzz_d2xx_exhausted(void);
// Bytes the library wrote since the last load.
__attribute__((visibility("default"))) size_t fuzz_d2xx_written(void);
}
