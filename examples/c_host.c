/* A C host for libbmpfun.so: loads the library at run time, as a plug-in host would, and
 * warps one BMP file with BMPFun.
 *
 *   c_host [-l LIBRARY] INPUT OUTPUT EFFECT
 *
 * LIBRARY defaults to the libbmpfun.so of the installation this program was built against
 * (and then to the dynamic loader's search path). The UTF-8 arguments are converted to the
 * zero-terminated UTF-16 paths BMPFun takes. Exit status: 0 when BMPFun returned
 * BMPFUN_OK, 1 for any other return code, 2 for a usage or loading problem.
 */
#include <bmpfun/bmpfun.h>

#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef BMPFUN_LIBRARY
#define BMPFUN_LIBRARY "libbmpfun.so"
#endif

typedef int32_t (*BMPFunFunction)(const uint16_t* input, const uint16_t* output, int32_t effect);

/* Decode UTF-8 into a freshly allocated, zero-terminated UTF-16 string; code points past
 * U+FFFF become surrogate pairs. NULL for malformed UTF-8 or when memory runs out. */
static uint16_t* utf8ToUtf16(const char* text) {
  const unsigned char* s = (const unsigned char*)text;
  size_t length = strlen(text);
  /* Each byte yields at most one unit, and a 4-byte sequence yields two units. */
  uint16_t* out = malloc((length + 1) * sizeof *out);
  size_t n = 0;
  if (out == NULL) return NULL;
  while (*s != 0) {
    uint32_t code;
    int extra;
    if (*s < 0x80) { code = *s; extra = 0; }
    else if ((*s & 0xE0) == 0xC0) { code = *s & 0x1Fu; extra = 1; }
    else if ((*s & 0xF0) == 0xE0) { code = *s & 0x0Fu; extra = 2; }
    else if ((*s & 0xF8) == 0xF0) { code = *s & 0x07u; extra = 3; }
    else goto malformed;
    ++s;
    for (int i = 0; i < extra; ++i, ++s) {
      if ((*s & 0xC0) != 0x80) goto malformed;
      code = (code << 6) | (*s & 0x3Fu);
    }
    /* Overlong forms, surrogates and values past U+10FFFF are not UTF-8. */
    if ((extra == 1 && code < 0x80) || (extra == 2 && code < 0x800) ||
        (extra == 3 && code < 0x10000) || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      goto malformed;
    if (code >= 0x10000) {
      code -= 0x10000;
      out[n++] = (uint16_t)(0xD800 + (code >> 10));
      out[n++] = (uint16_t)(0xDC00 + (code & 0x3FF));
    } else {
      out[n++] = (uint16_t)code;
    }
  }
  out[n] = 0;
  return out;
malformed:
  free(out);
  return NULL;
}

static int usage(void) {
  fprintf(stderr, "usage: c_host [-l LIBRARY] INPUT OUTPUT EFFECT\n");
  return 2;
}

int main(int argc, char** argv) {
  const char* library = BMPFUN_LIBRARY;
  int first = 1;
  if (argc > 2 && strcmp(argv[1], "-l") == 0) {
    library = argv[2];
    first = 3;
  }
  if (argc - first != 3) return usage();

  char* end = NULL;
  errno = 0;
  long effect = strtol(argv[first + 2], &end, 10);
  if (errno != 0 || end == argv[first + 2] || *end != '\0' || effect < INT32_MIN || effect > INT32_MAX)
    return usage();

  uint16_t* input = utf8ToUtf16(argv[first]);
  uint16_t* output = utf8ToUtf16(argv[first + 1]);
  if (input == NULL || output == NULL) {
    fprintf(stderr, "c_host: a path is not valid UTF-8\n");
    free(input);
    free(output);
    return 2;
  }

  void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (handle == NULL) {
    fprintf(stderr, "c_host: %s\n", dlerror());
    free(input);
    free(output);
    return 2;
  }
  /* POSIX guarantees that a function address survives the trip through void*. */
  BMPFunFunction bmpFun;
  void* symbol = dlsym(handle, "BMPFun");
  memcpy(&bmpFun, &symbol, sizeof bmpFun);
  if (symbol == NULL) {
    fprintf(stderr, "c_host: %s has no BMPFun\n", library);
    dlclose(handle);
    free(input);
    free(output);
    return 2;
  }

  int32_t code = bmpFun(input, output, (int32_t)effect);
  /* BMPFun's own messages carry no line end. */
  if (code == BMPFUN_ERROR_LOAD || code == BMPFUN_ERROR_ALLOCATE) printf("\n");
  printf("BMPFun returned %d\n", (int)code);

  dlclose(handle);
  free(input);
  free(output);
  return code == BMPFUN_OK ? 0 : 1;
}
