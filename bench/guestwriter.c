/*
 * guestwriter: the write load inside the test guest of bench/run's load part.
 *
 * Overwrites FILE from its start to its end, and over again, in pieces of
 * BLOCK_KIB KiB: one write, then fdatasync, then the next, as fast as the
 * disk completes them, so every write it counts has reached the virtual disk
 * and not only the guest's page cache. Each write is timed with the
 * monotonic clock from the write call to the return of its fdatasync.
 *
 * About once a second (after the first write that completes a second or more
 * after the previous report) it prints one line on standard output:
 *
 *   QLOAD ms=<length of the interval> mib=<MiB written in it>
 *         max_ms=<worst write latency in it> lat_us=<every write's latency, in order>
 *
 * A write belongs to the interval in which it completed; an interval
 * stretches over a write that takes longer than a second.
 *
 * Usage: guestwriter FILE BLOCK_KIB
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int64_t now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

int main(int argc, char **argv) {
  if (argc != 3 || atoi(argv[2]) <= 0) {
    fprintf(stderr, "usage: %s FILE BLOCK_KIB\n", argv[0]);
    return 2;
  }
  size_t block = (size_t)atoi(argv[2]) << 10;
  int fd = open(argv[1], O_WRONLY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_size < (off_t)block) {
    printf("QLOAD error: cannot write %s (needs at least %zu bytes)\n", argv[1], block);
    return 1;
  }
  off_t area = st.st_size - st.st_size % (off_t)block;

  /* Pseudo-random contents (xorshift64), with the write's number in front so
   * that no two writes carry the same data. */
  uint64_t *buf = malloc(block);
  uint64_t x = 88172645463325252ULL;
  for (size_t i = 0; i < block / sizeof *buf; i++) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    buf[i] = x;
  }

  size_t cap = 1024, count = 0;
  int64_t *lat = malloc(cap * sizeof *lat);
  setvbuf(stdout, NULL, _IOFBF, 1 << 16);
  printf("QLOAD start file=%s area_mib=%lld block_kib=%zu\n", argv[1], (long long)(area >> 20),
         block >> 10);
  fflush(stdout);

  off_t offset = 0;
  uint64_t seq = 0;
  int64_t interval_start = now_us(), worst = 0;
  for (;;) {
    buf[0] = ++seq;
    int64_t t0 = now_us();
    if (pwrite(fd, buf, block, offset) != (ssize_t)block || fdatasync(fd) != 0) {
      printf("QLOAD error: write at %lld failed\n", (long long)offset);
      return 1;
    }
    int64_t t1 = now_us();
    offset = (offset + (off_t)block) % area;
    if (count == cap) {
      cap *= 2;
      lat = realloc(lat, cap * sizeof *lat);
    }
    lat[count++] = t1 - t0;
    if (t1 - t0 > worst) worst = t1 - t0;
    if (t1 - interval_start >= 1000000) {
      printf("QLOAD ms=%lld mib=%.2f max_ms=%.1f lat_us=", (long long)(t1 - interval_start) / 1000,
             (double)(count * block) / (1 << 20), worst / 1000.0);
      for (size_t i = 0; i < count; i++) printf(i ? ",%lld" : "%lld", (long long)lat[i]);
      printf("\n");
      fflush(stdout);
      count = 0;
      worst = 0;
      interval_start = t1;
    }
  }
}
