// Output files: the path's checks, and the atomic replacement.
#include "cli/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

enum {
  // As many links as the kernel follows (MAXSYMLINKS) before ELOOP.
  MAX_LINKS = 40,
};

// The file a path names once its symbolic links are followed, even when the
// last link points at a file that does not exist yet: that is where the
// user's output goes, and where the temporary file must stand.
std::string link_target(const char *path) {
  std::string target = path;
  for (int i = 0; i < MAX_LINKS; ++i) {
    char link[PATH_MAX];
    ssize_t n = readlink(target.c_str(), link, sizeof link - 1);
    if (n < 0)
      break;
    link[n] = '\0';
    if (link[0] == '/') {
      target = link;
    } else {
      std::size_t slash = target.rfind('/');
      target = (slash == std::string::npos ? std::string()
                                           : target.substr(0, slash + 1)) +
               link;
    }
  }
  return target;
}

// Beside the file, so that the rename stays within one file system; named
// for this process, and made anew (O_EXCL), never through a link.
int open_temp(const std::string &target, std::string *temp) {
  *temp = target + ".zelkor-" + std::to_string(getpid()) + ".tmp";
  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC;
  int fd = open(temp->c_str(), flags, 0666);
  if (fd < 0 && errno == EEXIST && unlink(temp->c_str()) == 0)
    fd = open(temp->c_str(), flags, 0666);
  return fd;
}

// Writes, flushes and closes; false with errno from the first step that
// failed.
bool write_whole(int fd, void (*write)(std::FILE *out, const void *context),
                 const void *context) {
  std::FILE *out = fdopen(fd, "wb");
  if (!out) {
    int error = errno;
    close(fd);
    errno = error;
    return false;
  }
  write(out, context);
  int error = 0;
  if (std::fflush(out) != 0 || std::ferror(out))
    error = errno ? errno : EIO;
  else if (fsync(fd) != 0)
    error = errno;
  if (std::fclose(out) != 0 && error == 0)
    error = errno;
  errno = error;
  return error == 0;
}

} // namespace

int check_output_path(const char *path, int way, std::string *reason) {
  if (!path || path[0] == '\0') {
    *reason = "the path is empty";
    return -1;
  }
  const std::string target = link_target(path);
  struct stat st;
  if (stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      *reason = "is a directory";
      return -1;
    }
    // Replaced, a device or a pipe would become a plain file.
    if (way == OUTPUT_REPLACED && !S_ISREG(st.st_mode)) {
      *reason = "is not a regular file";
      return -1;
    }
    // Opened without O_TRUNC: the old file stays as it is until the run
    // replaces it.
    int fd = open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      *reason = std::strerror(errno);
      return -1;
    }
    close(fd);
    if (way == OUTPUT_IN_PLACE)
      return 0;
  } else if (errno != ENOENT) {
    *reason = std::strerror(errno);
    return -1;
  }
  // A new file, or the replacement, is made beside it: its folder must exist
  // and take it.
  std::string temp;
  int fd = open_temp(target, &temp);
  if (fd < 0) {
    *reason = std::strerror(errno);
    return -1;
  }
  close(fd);
  unlink(temp.c_str());
  return 0;
}

int replace_file(const char *path,
                 void (*write)(std::FILE *out, const void *context),
                 const void *context) {
  const std::string target = link_target(path);
  std::string temp;
  int fd = open_temp(target, &temp);
  if (fd < 0)
    return -1;
  // The file the user made keeps who may read it.
  struct stat old;
  if (stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode) &&
      fchmod(fd, old.st_mode & 07777) != 0) {
    int error = errno;
    close(fd);
    unlink(temp.c_str());
    errno = error;
    return -1;
  }
  if (!write_whole(fd, write, context) ||
      std::rename(temp.c_str(), target.c_str()) != 0) {
    int error = errno ? errno : EIO;
    unlink(temp.c_str());
    errno = error;
    return -1;
  }
  return 0;
}
