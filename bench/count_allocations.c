// SPDX-License-Identifier: MIT
// Preloaded into the daemon by relay_target.sh (ALLOCATIONS=1): counts its heap allocations and
// appends "<pid> <count>" to $TTYWEAVE_ALLOCATIONS_LOG when it exits. Runs that move different
// amounts of bytes differ by what the byte paths allocate.
#define _GNU_SOURCE
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* memory, size_t size);

static atomic_ulong allocations;
static char log_path[4096];

__attribute__((constructor)) static void Start(void) {
  const char* path = getenv("TTYWEAVE_ALLOCATIONS_LOG");
  if (path != NULL) snprintf(log_path, sizeof log_path, "%s", path);
  unsetenv("LD_PRELOAD");  // the daemon's program is not counted
}

__attribute__((destructor)) static void Report(void) {
  FILE* log = log_path[0] != '\0' ? fopen(log_path, "a") : NULL;
  if (log == NULL) return;
  fprintf(log, "%d %lu\n", getpid(), (unsigned long)atomic_load(&allocations));
  fclose(log);
}

void* malloc(size_t size) {
  atomic_fetch_add(&allocations, 1);
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  atomic_fetch_add(&allocations, 1);
  return __libc_calloc(count, size);
}

void* realloc(void* memory, size_t size) {
  atomic_fetch_add(&allocations, 1);
  return __libc_realloc(memory, size);
}
