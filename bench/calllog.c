/*
 * calllog: stands in for one program (virsh or qemu-img) on the PATH of the
 * tool in bench/run's incremental part, runs the real one with the same
 * arguments and appends one line to a log:
 *
 *   START END RC NAME ARG...
 *
 * START and END are the host's clock (epoch seconds) at the fork and at the
 * reaping of the real program, RC its exit status (128 + signal). Built once
 * per program, with the real program's path and the log's path compiled in:
 *
 *   gcc -O2 -DREAL='"/usr/bin/virsh"' -DLOG='"/var/tmp/.../calls.log"' -o .../virsh calllog.c
 *
 * A C program rather than a shell script, so that the wrapper adds well under
 * a millisecond to each call: the tool's incremental backup makes about
 * fifteen of them.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef REAL
#error "build with -DREAL='\"/path/to/program\"'"
#endif
#ifndef LOG
#error "build with -DLOG='\"/path/to/log\"'"
#endif

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
  (void)argc;
  double start = now();
  pid_t pid = fork();
  if (pid < 0) {
    perror("calllog: fork");
    return 126;
  }
  if (pid == 0) {
    execv(REAL, argv);
    perror(REAL);
    _exit(127);
  }
  int status;
  while (waitpid(pid, &status, 0) < 0) {
  }
  double end = now();
  int rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

  char line[8192];
  const char *name = strrchr(REAL, '/') ? strrchr(REAL, '/') + 1 : REAL;
  int n = snprintf(line, sizeof line, "%.6f %.6f %d %s", start, end, rc, name);
  for (int i = 1; argv[i] && n < (int)sizeof line - 2; i++) {
    n += snprintf(line + n, sizeof line - n, " %s", argv[i]);
  }
  if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
  line[n++] = '\n';
  int fd = open(LOG, O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (fd >= 0) {
    ssize_t ignored = write(fd, line, (size_t)n);
    (void)ignored;
    close(fd);
  }
  return rc;
}
