/* Stands in for the host's service manager where a test wants to know what
 * a child of Trellium inherits: appends one line per call to PROGRAM.fds,
 * the first argument and the numbers of the descriptors it was started
 * with, for example "stop: 0 1 2". */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int ascending(const void* a, const void* b) { return *(const int*)a - *(const int*)b; }

int main(int argc, char** argv) {
  int fds[1024];
  int n = 0;
  DIR* listing = opendir("/proc/self/fd");
  if (!listing) return 1;
  const int own = dirfd(listing);
  for (struct dirent* e; (e = readdir(listing)) != NULL && n < 1024;) {
    if (e->d_name[0] == '.') continue;
    const int fd = atoi(e->d_name);
    if (fd != own) fds[n++] = fd;
  }
  closedir(listing);
  qsort(fds, (size_t)n, sizeof fds[0], ascending);
  char path[4096];
  snprintf(path, sizeof path, "%s.fds", argv[0]);
  FILE* out = fopen(path, "a");
  if (!out) return 1;
  fprintf(out, "%s:", argc > 1 ? argv[1] : "");
  for (int i = 0; i < n; ++i) fprintf(out, " %d", fds[i]);
  fprintf(out, "\n");
  return fclose(out) == 0 ? 0 : 1;
}
