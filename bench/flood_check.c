// SPDX-License-Identifier: MIT
/* flood_check N: checks that standard input starts with N bytes of the flood pattern
 * (pattern.h of the shared relay benchmark) and prints, as soon as it has them (or at end of
 * file, short), one line
 *   RESULT bytes=<pattern bytes seen> seconds=<first byte to N-th> mbps=<N/10^6/seconds>
 * intact=<0|1> It then reads on to the end and ignores the rest (a client's closing notice), so the
 * client under test is never cut off by a closed pipe. Writes "ready" to standard error once it can
 * take the flood. Exit status 0 when intact. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "pattern.h"

static double Now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec / 1e9;
}

static void Report(size_t n, size_t seen, double seconds, int intact) {
  printf("RESULT bytes=%zu seconds=%.3f mbps=%.1f intact=%d\n", seen, seconds,
         seconds > 0 ? n / 1e6 / seconds : 0.0, intact);
  fflush(stdout);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: flood_check N\n");
    return 2;
  }
  const size_t n = strtoull(argv[1], NULL, 0);
  char* expected = malloc(n + BLK);
  /* Large reads, as the client writes: the checker must never be the slow end. */
  static char buffer[1 << 20];
  if (expected == NULL || n % BLK != 0) {
    fprintf(stderr, "flood_check: N must be a multiple of %d\n", BLK);
    return 2;
  }
  gen_pattern(expected, n);
  /* Ready to read at full speed: a flood started earlier would find the pipe full and the
   * daemon would drop its blocked terminal. */
  fputs("ready\n", stderr);
  size_t seen = 0;
  int intact = 1;
  double first = 0, last;
  for (;;) {
    const ssize_t got = read(0, buffer, sizeof buffer);
    if (got <= 0) break;
    if (seen == 0 && first == 0) first = Now();
    if (seen < n) {
      const size_t take = (size_t)got < n - seen ? (size_t)got : n - seen;
      if (memcmp(buffer, expected + seen, take) != 0) intact = 0;
      seen += take;
      if (seen == n) {
        last = Now();
        Report(n, seen, last - first, intact);
      }
    }
  }
  if (seen < n) {
    intact = 0;
    Report(n, seen, 0, intact);
  }
  return intact ? 0 : 1;
}
