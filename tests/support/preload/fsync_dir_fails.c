/* Preloaded into a program under test: fsync on a directory fails with EIO,
   as on file systems that refuse to flush folders; files flush as usual. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <sys/stat.h>

int fsync(int fd) {
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EIO;
    return -1;
  }
  int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  return real ? real(fd) : 0;
}
