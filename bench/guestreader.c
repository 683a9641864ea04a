/*
 * guestreader: the read test inside the test guest of bench/run's restore
 * part, run on a VM restored live while its data is still being copied from
 * the backup, and on a VM whose disk is a local image.
 *
 * Reads DEVICE with O_DIRECT (past the guest's page cache), one read at a
 * time, starting one every 10 ms (100 a second; a read that takes longer
 * delays the next): of every 20 reads, 19 read 4 KiB and one reads 1 MiB.
 * Every read is the test's first of its data: the device is cut into 1 MiB
 * blocks; the 1 MiB reads go through the even-numbered blocks, the 4 KiB
 * reads through the 64 KiB clusters of the odd-numbered ones, each in a
 * fixed pseudo-random order (xorshift64, the same in every run). On a VM
 * restored live, QEMU copies what the guest reads into the local image on
 * the way (the copy job reads through a copy-on-read filter), so a read of
 * data read before would say nothing about reads from the backup; and the
 * pace keeps what the test's own reads copy (at most 64 KiB per 4 KiB read,
 * about 11 MiB/s in all) below what libvirt's copy moves.
 * When an order has been gone through it starts again, with pass=2.
 *
 * About once a second it prints one line per kind of read:
 *
 *   QREAD kind=<4k|1m> ms=<length of the interval> n=<reads> pass=<pass>
 *         sum_us=<their summed latency> max_us=<worst> h=<bucket>:<count>,...
 *
 * Each read is timed with the monotonic clock from the pread call to its
 * return. The latency histogram is short enough for a serial console: a read
 * of L microseconds counts in bucket floor(4 * log2(L)), so bucket b holds
 * latencies from 2^(b/4) to 2^((b+1)/4) us (steps of 19 %); only buckets
 * with reads are listed.
 *
 * Usage: guestreader DEVICE
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <linux/fs.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#define BUCKETS 128
#define EVERY_US 10000
#define REPORT_US 1000000
#define MIB (1 << 20)
#define CLUSTER (64 << 10)

static int64_t now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

static uint64_t xorshift = 88172645463325252ULL;

static uint64_t next(void) {
  xorshift ^= xorshift << 13;
  xorshift ^= xorshift >> 7;
  xorshift ^= xorshift << 17;
  return xorshift;
}

/* One kind of read: its offsets in a fixed order, and the figures of the
 * interval so far. */
struct kind {
  const char *name;
  size_t size;
  off_t *order;
  size_t count, at;
  int pass;
  uint64_t hist[BUCKETS];
  int64_t n, sum, worst;
};

static void shuffle(struct kind *k) {
  for (size_t i = k->count - 1; i > 0; i--) {
    size_t j = next() % (i + 1);
    off_t t = k->order[i];
    k->order[i] = k->order[j];
    k->order[j] = t;
  }
}

static void report(struct kind *k, int64_t ms) {
  printf("QREAD kind=%s ms=%lld n=%lld pass=%d sum_us=%lld max_us=%lld h=", k->name, (long long)ms,
         (long long)k->n, k->pass, (long long)k->sum, (long long)k->worst);
  int first = 1;
  for (int b = 0; b < BUCKETS; b++) {
    if (!k->hist[b]) continue;
    printf(first ? "%d:%llu" : ",%d:%llu", b, (unsigned long long)k->hist[b]);
    first = 0;
  }
  printf("\n");
  memset(k->hist, 0, sizeof k->hist);
  k->n = k->sum = k->worst = 0;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DEVICE\n", argv[0]);
    return 2;
  }
  int fd = open(argv[1], O_RDONLY | O_DIRECT);
  uint64_t bytes = 0;
  if (fd >= 0 && ioctl(fd, BLKGETSIZE64, &bytes) != 0) bytes = (uint64_t)lseek(fd, 0, SEEK_END);
  const size_t blocks = bytes / MIB;
  if (fd < 0 || blocks < 2) {
    printf("QREAD error: cannot read %s (needs at least 2 MiB)\n", argv[1]);
    return 1;
  }
  void *buf;
  if (posix_memalign(&buf, 4096, MIB) != 0) return 1;

  struct kind small = {.name = "4k", .size = 4096}, big = {.name = "1m", .size = MIB};
  small.count = blocks / 2 * (MIB / CLUSTER);
  big.count = (blocks + 1) / 2;
  small.order = malloc(small.count * sizeof *small.order);
  big.order = malloc(big.count * sizeof *big.order);
  for (size_t i = 0; i < big.count; i++) big.order[i] = (off_t)(2 * i) * MIB;
  for (size_t i = 0; i < small.count; i++) {
    /* A 4 KiB piece at a varying place inside its cluster. */
    small.order[i] = (off_t)(2 * (i / (MIB / CLUSTER)) + 1) * MIB + (off_t)(i % (MIB / CLUSTER)) * CLUSTER +
                     (off_t)(next() % (CLUSTER / 4096)) * 4096;
  }
  shuffle(&small);
  shuffle(&big);
  small.pass = big.pass = 1;

  setvbuf(stdout, NULL, _IOFBF, 1 << 16);
  printf("QREAD start device=%s mib=%zu\n", argv[1], blocks);
  fflush(stdout);

  int64_t interval_start = now_us(), slot = interval_start;
  for (uint64_t i = 0;; i++) {
    struct kind *k = i % 20 == 19 ? &big : &small;
    if (k->at == k->count) {
      k->at = 0;
      k->pass++;
    }
    const off_t offset = k->order[k->at++];
    int64_t t = now_us();
    if (slot > t) {
      usleep((useconds_t)(slot - t));
    }
    const int64_t t0 = now_us();
    if (pread(fd, buf, k->size, offset) != (ssize_t)k->size) {
      printf("QREAD error: read of %zu bytes at %lld failed\n", k->size, (long long)offset);
      return 1;
    }
    const int64_t t1 = now_us();
    const int64_t us = t1 - t0 > 0 ? t1 - t0 : 1;
    int b = (int)(4 * log2((double)us));
    if (b >= BUCKETS) b = BUCKETS - 1;
    k->hist[b]++;
    k->n++;
    k->sum += us;
    if (us > k->worst) k->worst = us;
    slot = (slot + EVERY_US > t1) ? slot + EVERY_US : t1;
    if (t1 - interval_start >= REPORT_US) {
      report(&small, (t1 - interval_start) / 1000);
      report(&big, (t1 - interval_start) / 1000);
      fflush(stdout);
      interval_start = t1;
    }
  }
}
