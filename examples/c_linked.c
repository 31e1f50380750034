/* A C program linked against libbmpfun.so (CMake: bmpfun::bmpfun_c; pkg-config: bmpfun):
 * warps one BMP file with BMPFun.
 *
 *   c_linked INPUT OUTPUT EFFECT
 *
 * Each byte of a path becomes one UTF-16 unit, so the paths must be ASCII here; c_host.c
 * converts UTF-8. Exit status: 0 when BMPFun returned BMPFUN_OK, 1 for any other return
 * code, 2 for a usage problem.
 */
#include <bmpfun/bmpfun.h>

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* A freshly allocated, zero-terminated UTF-16 copy of an ASCII string; NULL for any other
 * byte or when memory runs out. */
static uint16_t* widenAscii(const char* text) {
  size_t length = strlen(text);
  uint16_t* out = malloc((length + 1) * sizeof *out);
  if (out == NULL) return NULL;
  for (size_t i = 0; i <= length; ++i) {
    unsigned char c = (unsigned char)text[i];
    if (c >= 0x80) {
      free(out);
      return NULL;
    }
    out[i] = c;
  }
  return out;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: c_linked INPUT OUTPUT EFFECT\n");
    return 2;
  }
  char* end = NULL;
  errno = 0;
  long effect = strtol(argv[3], &end, 10);
  if (errno != 0 || end == argv[3] || *end != '\0' || effect < INT32_MIN || effect > INT32_MAX) {
    fprintf(stderr, "c_linked: EFFECT must be a 32-bit integer\n");
    return 2;
  }
  uint16_t* input = widenAscii(argv[1]);
  uint16_t* output = widenAscii(argv[2]);
  if (input == NULL || output == NULL) {
    fprintf(stderr, "c_linked: the paths must be ASCII\n");
    free(input);
    free(output);
    return 2;
  }

  int32_t code = BMPFun(input, output, (int32_t)effect);
  /* BMPFun's own messages carry no line end. */
  if (code == BMPFUN_ERROR_LOAD || code == BMPFUN_ERROR_ALLOCATE) printf("\n");
  printf("BMPFun returned %d\n", (int)code);

  free(input);
  free(output);
  return code == BMPFUN_OK ? 0 : 1;
}
