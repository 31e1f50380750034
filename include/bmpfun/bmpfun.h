/* The C entry of libbmpfun.so (bmpfun.dll on Windows): warp a BMP file into another one.
 *
 * The library exports exactly one symbol, BMPFun. Paths are zero-terminated UTF-16
 * strings: wchar_t on Windows, so BMPFun(L"in.bmp", L"out.bmp", 1) works as written there
 * and every name the file system can hold reaches it unchanged; elsewhere uint16_t units in
 * C and char16_t in C++, converted to UTF-8 file names, where a path with an unpaired
 * surrogate converts to an empty name, so the load or save on it fails.
 *
 * Nothing runs when the library is loaded or unloaded, it keeps no state between calls and
 * never ends the calling process. The only messages are written to standard output,
 * without a line end, and flushed before the call returns:
 *   "Error loading image: PATH"   with code BMPFUN_ERROR_LOAD (PATH empty for a null path
 *                                 or one that could not be converted)
 *   "Error allocating image."     with code BMPFUN_ERROR_ALLOCATE
 */
#ifndef BMPFUN_BMPFUN_H
#define BMPFUN_BMPFUN_H

#include <stdint.h>
#ifdef _WIN32
#include <wchar.h>
#endif

#if defined(_WIN32) && defined(BMPFUN_BUILDING_C_ABI)
#define BMPFUN_EXPORT __declspec(dllexport)
#elif defined(_WIN32)
#define BMPFUN_EXPORT __declspec(dllimport)
#elif defined(BMPFUN_BUILDING_C_ABI) && defined(__GNUC__)
#define BMPFUN_EXPORT __attribute__((visibility("default")))
#else
#define BMPFUN_EXPORT
#endif

/* Return codes of BMPFun. */
#define BMPFUN_OK 999              /* the output file was written */
#define BMPFUN_ERROR_LOAD (-1)     /* the input could not be loaded (null path, missing,
                                      not a BMP file, over the size limit, out of memory) */
#define BMPFUN_ERROR_EFFECT (-2)   /* the effect number has no warp; nothing was written and
                                      an existing output file is untouched */
#define BMPFUN_ERROR_ALLOCATE (-3) /* the warped image could not be created */
#define BMPFUN_ERROR_SAVE (-4)     /* the output could not be written (null path included);
                                      an existing output file is left as it was */

#ifdef __cplusplus
extern "C" {
#endif

/* Load the BMP file at input, apply warp `effect` (0 sine wave, 1 polar disc of
 * (2 * height + 1) squared pixels, 2 polar mapping into the source size) with point
 * sampling, and write the result to output as an uncompressed 24-bit BMP file.
 * Returns BMPFUN_OK or one of the negative codes above. Every image is released before
 * the call returns, whatever the outcome. */
#if defined(_WIN32)
BMPFUN_EXPORT int32_t BMPFun(const wchar_t* input, const wchar_t* output, int32_t effect);
#elif defined(__cplusplus)
BMPFUN_EXPORT int32_t BMPFun(const char16_t* input, const char16_t* output, int32_t effect);
#else
BMPFUN_EXPORT int32_t BMPFun(const uint16_t* input, const uint16_t* output, int32_t effect);
#endif

#ifdef __cplusplus
}
#endif

#endif /* BMPFUN_BMPFUN_H */
