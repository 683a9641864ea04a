/*
 * measure: runs one command and reports, on one line of key=value pairs,
 *
 *   wall     seconds from the fork to the reaping of the command (monotonic clock)
 *   user     user CPU seconds of the command and of every descendant it waited for
 *   sys      system CPU seconds, likewise
 *   own_kb   peak resident set (VmHWM) of the command's own process, read from
 *            /proc/<pid>/status at the moment it exits, after its last exec
 *   tree_kb  ru_maxrss of the reaped command: the largest peak of any single
 *            process in the tree (for a tool that runs qemu-img, qemu-img's)
 *   rc       exit status, or 128 + signal number
 *
 * Why ptrace: GNU time's %M is ru_maxrss from wait4, which covers the waited
 * process *and its reaped children*, so for a program that runs qemu-img it
 * reports qemu-img's footprint, not the program's. Polling VmHWM from outside
 * misses whatever happens between the last poll and the exit. Stopping the
 * command at its exit event (PTRACE_O_TRACEEXIT), while its memory map still
 * exists, reads the true lifetime peak. Only the command itself is traced, not
 * the processes it forks; the stops are one per exec, one per signal and one
 * at exit, so the timing is not disturbed measurably.
 *
 * The command may exec through wrappers (unshare, sh -c 'exec ...'): the
 * counters belong to the image that is running when the process exits, since
 * execve starts a fresh memory map with a fresh high-water mark.
 *
 * Usage: measure OUTFILE COMMAND [ARG...]   (OUTFILE "-" means stderr)
 * The command's own stdin/stdout/stderr are left untouched.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static long read_status_kb(pid_t pid, const char *key) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
  FILE *f = fopen(path, "r");
  if (!f) return -1;
  char line[256];
  long value = -1;
  size_t keylen = strlen(key);
  while (fgets(line, sizeof line, f)) {
    if (strncmp(line, key, keylen) == 0 && line[keylen] == ':') {
      value = strtol(line + keylen + 1, NULL, 10);
      break;
    }
  }
  fclose(f);
  return value;
}

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s OUTFILE COMMAND [ARG...]\n", argv[0]);
    return 2;
  }
  const char *outfile = argv[1];
  double start = now();
  pid_t pid = fork();
  if (pid < 0) {
    perror("fork");
    return 2;
  }
  if (pid == 0) {
    if (ptrace(PTRACE_TRACEME, 0, NULL, NULL) != 0) {
      perror("ptrace(TRACEME)");
      _exit(126);
    }
    raise(SIGSTOP); /* let the parent set its options before the exec */
    execvp(argv[2], argv + 2);
    perror(argv[2]);
    _exit(127);
  }

  int status;
  if (waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) {
    fprintf(stderr, "measure: child did not stop\n");
    return 2;
  }
  if (ptrace(PTRACE_SETOPTIONS, pid, NULL,
             (void *)(long)(PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL)) != 0) {
    perror("ptrace(SETOPTIONS)");
    kill(pid, SIGKILL);
    return 2;
  }
  ptrace(PTRACE_CONT, pid, NULL, NULL);

  long own_kb = -1;
  struct rusage ru;
  memset(&ru, 0, sizeof ru);
  for (;;) {
    pid_t w = wait4(pid, &status, __WALL, &ru);
    if (w < 0) {
      if (errno == EINTR) continue;
      perror("wait4");
      return 2;
    }
    if (WIFEXITED(status) || WIFSIGNALED(status)) break;
    if (!WIFSTOPPED(status)) continue;
    int event = (status >> 16) & 0xff;
    int sig = WSTOPSIG(status);
    if (sig == SIGTRAP && event == PTRACE_EVENT_EXIT) {
      own_kb = read_status_kb(pid, "VmHWM");
      ptrace(PTRACE_CONT, pid, NULL, NULL);
    } else if (sig == SIGTRAP && event != 0) {
      ptrace(PTRACE_CONT, pid, NULL, NULL); /* exec event */
    } else {
      ptrace(PTRACE_CONT, pid, NULL, (void *)(long)sig); /* pass the signal on */
    }
  }
  double wall = now() - start;
  int rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

  FILE *out = strcmp(outfile, "-") == 0 ? stderr : fopen(outfile, "w");
  if (!out) {
    perror(outfile);
    return 2;
  }
  fprintf(out, "wall=%.3f user=%.3f sys=%.3f own_kb=%ld tree_kb=%ld rc=%d\n", wall,
          ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6,
          ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6, own_kb, ru.ru_maxrss, rc);
  if (out != stderr) fclose(out);
  return rc;
}
