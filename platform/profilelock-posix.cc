// The profile lock on POSIX: a write lock on one byte of profiles.lock in the store's folder, the
// byte at an offset drawn from the profile's identity. The lock belongs to the open file (an open
// file description lock), so that it dies with the process, and two opens in one process contend
// as two processes do. The folder and the file are trusted as the store's own are.
#include "platform/profilelock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "regstore/files.h"

#ifndef F_OFD_SETLK
#define F_OFD_SETLK F_SETLK
#endif

static int LockFile = -1;

// The byte that stands for the profile: a 64-bit FNV-1a hash of its key name with ASCII letters
// folded, kept within the positive offsets.
static off_t LockOffset(const char* keyName) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const unsigned char* p = (const unsigned char*)keyName; *p; p++) {
    unsigned char c = *p >= 'A' && *p <= 'Z' ? *p + ('a' - 'A') : *p;
    hash = (hash ^ c) * 0x100000001b3ull;
  }
  return (off_t)(hash >> 2);
}

LONG LockProfile(const char* keyName) {
  std::string store, folder;
  if (!regstore::LocateStore(&store)) return ERROR_FILE_NOT_FOUND;
  regstore::Problem problem =
      regstore::FindFolder(store.substr(0, store.rfind('/')), true, &folder);
  if (problem) return problem.code;
  std::string path = folder + "/profiles.lock";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return regstore::FromErrno(errno).code;
  struct stat st;
  problem = regstore::TrustFile(fd, path, &st);
  if (problem) {
    close(fd);
    return problem.code;
  }
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = LockOffset(keyName);
  lock.l_len = 1;
  if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    int error = errno;
    close(fd);
    return error == EAGAIN || error == EACCES ? ERROR_LOCK_VIOLATION
                                              : regstore::FromErrno(error).code;
  }
  LockFile = fd;
  return ERROR_SUCCESS;
}

void UnlockProfile(void) {
  if (LockFile >= 0) close(LockFile);
  LockFile = -1;
}
