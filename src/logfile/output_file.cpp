#include "output_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../main/qb40tool.h"

namespace {

constexpr size_t kPathSize = 4096 + 64;

// The directory part of `path` ("." when it has none) and its last part.
void SplitPath(const char* path, char* directory, size_t size, const char** name)
{
    const char* slash = std::strrchr(path, '/');
    if (!slash) {
        std::snprintf(directory, size, ".");
        *name = path;
    } else if (slash == path) {
        std::snprintf(directory, size, "/");
        *name = slash + 1;
    } else {
        std::snprintf(directory, size, "%.*s", static_cast<int>(slash - path), path);
        *name = slash + 1;
    }
}

// Two names of one file: the same directory and last part, whether the file
// exists or not, or the same existing file under other names (a hard link;
// a symbolic link is a file of its own here, since it is never followed).
bool SameFile(const char* a, const char* b)
{
    char dir_a[kPathSize], dir_b[kPathSize];
    const char *name_a, *name_b;
    SplitPath(a, dir_a, sizeof dir_a, &name_a);
    SplitPath(b, dir_b, sizeof dir_b, &name_b);
    struct stat sa {}, sb {};
    if (std::strcmp(name_a, name_b) == 0 && stat(dir_a, &sa) == 0 && stat(dir_b, &sb) == 0 &&
        sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino)
        return true;
    return lstat(a, &sa) == 0 && lstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// ".NAME.qb40tool.XXXXXXXXXXXXXXXX.tmp" beside `path`, the X from the kernel's
// random bytes.
bool TempName(const char* path, char* out, size_t size)
{
    unsigned char random[8];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
        return false;
    char hex[2 * sizeof random + 1];
    for (size_t i = 0; i < sizeof random; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", random[i]);
    char directory[kPathSize];
    const char* name;
    SplitPath(path, directory, sizeof directory, &name);
    int n = std::snprintf(out, size, "%s/.%s.qb40tool.%s.tmp", directory, name, hex);
    return n > 0 && static_cast<size_t>(n) < size;
}

}  // namespace

const char* OutputFileRefusal(const char* path, const char* other_output)
{
    struct stat st {};
    if (lstat(path, &st) == 0 && !S_ISLNK(st.st_mode) && !S_ISREG(st.st_mode))
        return S_ISDIR(st.st_mode) ? "it is a directory" : "it is not a regular file";
    if (CMDL_FilenameSpecified && SameFile(path, BinFilename))
        return "it is the image file";
    if (SameFile(path, "log.txt") || SameFile(path, "logprev.txt"))
        return "it is a log file";
    if (other_output && other_output[0] && SameFile(path, other_output))
        return "another output of the run goes there";
    return nullptr;
}

int OutputTempFile(const char* path, char* temp_path, size_t temp_path_size)
{
    if (!TempName(path, temp_path, temp_path_size)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return open(temp_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

int OutputScratchFile(const char* path)
{
    char directory[kPathSize];
    const char* name;
    SplitPath(path, directory, sizeof directory, &name);
    int fd = open(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    // A file system without unnamed files: a named one, unlinked at once.
    char temp[kPathSize];
    if (!TempName(path, temp, sizeof temp)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    fd = open(temp, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0)
        unlink(temp);
    return fd;
}

int OutputFileCommit(int fd, const char* temp_path, const char* path)
{
    int error = 0;
    // On the disk before the name points at it, so that a crash leaves the
    // old file or the new one, never an empty one.
    if (fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && !error)
        error = errno;
    if (!error && std::rename(temp_path, path) != 0)
        error = errno;
    if (error)
        unlink(temp_path);
    return error;
}
