// Preloaded into the binary by tests: every block handed to free() or realloc() is scanned for
// the byte strings of TARN_TEST_MARKERS (hex, comma-separated; of one longer than 16 bytes, for
// any 16 bytes of it in a row), or else of the file named by
// TARN_TEST_MARKERS_FILE as it reads at the first free; each finding is a line in
// TARN_TEST_FREED_LOG. At exit it speaks on standard error, as a
// library may: the caller must never see it.
#define _GNU_SOURCE
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern void __libc_free(void* block);
extern void* __libc_realloc(void* block, size_t size);

static unsigned char markers[4][64];
static size_t lengths[4];
static int count = -1;

static void note(const char* what) {
  const char* path = getenv("TARN_TEST_FREED_LOG");
  int fd = path ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666) : -1;
  if (fd >= 0 && write(fd, what, strlen(what)) >= 0) close(fd);
}

static int nibble(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

// A service started once for many rows cannot take each row's markers in its environment.
static const char* markerText(void) {
  static char text[600];
  const char* path = getenv("TARN_TEST_MARKERS_FILE");
  if (getenv("TARN_TEST_MARKERS") || !path) return getenv("TARN_TEST_MARKERS");
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  ssize_t n = fd < 0 ? 0 : read(fd, text, sizeof text - 1);
  if (fd >= 0) close(fd);
  text[n > 0 ? n : 0] = 0;
  return text;
}

static void scan(void* block) {
  if (count < 0) {
    const char* hex = markerText();
    for (count = 0; hex && *hex && count < 4; ++count, hex += *hex == ',')
      for (; hex[0] && hex[0] != ',' && hex[1] && lengths[count] < 64; hex += 2)
        markers[count][lengths[count]++] = (unsigned char)(nibble(hex[0]) << 4 | nibble(hex[1]));
  }
  size_t size = malloc_usable_size(block);
  for (int i = 0; i < count; ++i) {
    size_t piece = lengths[i] < 16 ? lengths[i] : 16, at = 0;
    while (at + piece <= lengths[i] && !memmem(block, size, markers[i] + at, piece)) ++at;
    if (at + piece <= lengths[i]) note("freed a marker unwiped\n");
  }
}

void free(void* block) {
  if (block) scan(block);
  __libc_free(block);
}

void* realloc(void* block, size_t size) {
  if (block) scan(block);
  return __libc_realloc(block, size);
}

__attribute__((destructor)) static void speak(void) {
  if (write(2, "a library speaks\n", 17) < 0) return;
}
