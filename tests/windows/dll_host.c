/* A Windows host of bmpfun.dll, as a plug-in host uses it: the DLL loaded by its path
 * (LoadLibraryW), BMPFun found by name (GetProcAddress) and called with names no code page
 * holds: a folder "café" holding "日本.bmp".
 *
 *   dll_host DLL INPUT EXPECTED
 *
 * EXPECTED is INPUT warped with effect 1. Runs in the working folder (its "café" is made
 * afresh); prints one line per check and exits 0 when all of them passed. */
#include <bmpfun/bmpfun.h>

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

typedef int32_t (*BMPFunFunction)(const wchar_t* input, const wchar_t* output, int32_t effect);

#define FOLDER L"caf\u00e9"
#define INPUT FOLDER L"\\\u65e5\u672c.bmp"
#define OUTPUT FOLDER L"\\\u51fa\u529b.bmp"

static int failures = 0;

static void check(int passed, const char* what) {
  printf("\n%s: %s\n", passed ? "ok" : "FAILED", what);
  fflush(stdout);
  if (!passed) ++failures;
}

/* The whole file in a fresh buffer (size in *size), or NULL. */
static char* readAll(const wchar_t* path, DWORD* size) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  char* bytes = NULL;
  *size = 0;
  if (file == INVALID_HANDLE_VALUE) return NULL;
  *size = GetFileSize(file, NULL);
  bytes = malloc(*size + 1);
  if (bytes != NULL) {
    DWORD got = 0;
    if (!ReadFile(file, bytes, *size, &got, NULL) || got != *size) {
      free(bytes);
      bytes = NULL;
    }
  }
  CloseHandle(file);
  return bytes;
}

static int sameFiles(const wchar_t* a, const wchar_t* b) {
  DWORD sizeA = 0, sizeB = 0;
  char* bytesA = readAll(a, &sizeA);
  char* bytesB = readAll(b, &sizeB);
  const int same = bytesA != NULL && bytesB != NULL && sizeA == sizeB && memcmp(bytesA, bytesB, sizeA) == 0;
  free(bytesA);
  free(bytesB);
  return same;
}

/* The entries of the folder, "." and ".." aside. */
static int entriesIn(const wchar_t* folder) {
  wchar_t pattern[MAX_PATH];
  WIN32_FIND_DATAW found;
  HANDLE search;
  int count = 0;
  swprintf(pattern, MAX_PATH, L"%ls\\*", folder);
  search = FindFirstFileW(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return -1;
  do {
    if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) ++count;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return count;
}

int wmain(int argc, wchar_t** argv) {
  HMODULE library;
  BMPFunFunction warp;
  HANDLE held;
  if (argc != 4) {
    fprintf(stderr, "usage: dll_host DLL INPUT EXPECTED\n");
    return 2;
  }
  library = LoadLibraryW(argv[1]);
  check(library != NULL, "LoadLibraryW loads the DLL");
  if (library == NULL) return 1;
  warp = (BMPFunFunction)(void (*)(void))GetProcAddress(library, "BMPFun");
  check(warp != NULL, "GetProcAddress finds BMPFun");
  check(GetProcAddress(library, "BMPNoise") == NULL, "BMPNoise is not exported");
  if (warp == NULL) return 1;

  DeleteFileW(INPUT);
  DeleteFileW(OUTPUT);
  DeleteFileW(FOLDER L"\\never.bmp");
  CreateDirectoryW(FOLDER, NULL);
  check(CopyFileW(argv[2], INPUT, FALSE) != 0, "the input copied to caf\xc3\xa9\\\xe6\x97\xa5\xe6\x9c\xac.bmp");

  check(warp(INPUT, OUTPUT, 1) == BMPFUN_OK, "BMPFun warps between non-ASCII names");
  check(sameFiles(OUTPUT, argv[3]), "the output is the reference, byte for byte");
  check(warp(INPUT, OUTPUT, 1) == BMPFUN_OK && sameFiles(OUTPUT, argv[3]), "an existing output is replaced");
  check(entriesIn(FOLDER) == 2, "no temporary file is left beside them");

  check(warp(FOLDER L"\\missing.bmp", OUTPUT, 1) == BMPFUN_ERROR_LOAD, "a missing input: BMPFUN_ERROR_LOAD");
  check(warp(INPUT, FOLDER L"\\never.bmp", 3) == BMPFUN_ERROR_EFFECT, "effect 3: BMPFUN_ERROR_EFFECT");
  check(GetFileAttributesW(FOLDER L"\\never.bmp") == INVALID_FILE_ATTRIBUTES, "... and nothing written");
  check(warp(INPUT, FOLDER L"\\no folder\\x.bmp", 0) == BMPFUN_ERROR_SAVE, "a missing folder: BMPFUN_ERROR_SAVE");
  check(warp(NULL, OUTPUT, 0) == BMPFUN_ERROR_LOAD, "a null input: BMPFUN_ERROR_LOAD");

  /* Another holder without shared deletion: the old output stays whole, nothing is left. */
  held = CreateFileW(OUTPUT, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  check(held != INVALID_HANDLE_VALUE, "the output held open");
  check(warp(INPUT, OUTPUT, 0) == BMPFUN_ERROR_SAVE, "an output held open: BMPFUN_ERROR_SAVE");
  CloseHandle(held);
  check(sameFiles(OUTPUT, argv[3]), "... and it keeps every byte");
  check(entriesIn(FOLDER) == 2, "... and no temporary file is left");

  FreeLibrary(library);
  printf("%d checks failed\n", failures);
  return failures == 0 ? 0 : 1;
}
