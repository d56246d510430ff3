// Holding the collection for one run.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "run/run.h"

LockResult lock_collection() {
  // The lock is held on the collection's own root directory, so that it
  // leaves no file behind, and goes with the process however it ends.
  const int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return LockResult::Unavailable;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return LockResult::Locked;  // |fd| stays open
  const int error = errno;
  close(fd);
  return error == EWOULDBLOCK ? LockResult::Busy : LockResult::Unavailable;
}

bool collection_is_busy() {
  const int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool busy = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);  // drops the lock, if it was taken
  return busy;
}
