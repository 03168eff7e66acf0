// SPDX-License-Identifier: MIT
#include "lan_secrets.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../../common/settings.h"
#include "lan_crypto.h"

INT8U LanPassword[LAN_SECRET_SIZE];
size_t LanPasswordSize = 0;
INT8U LanKg[LAN_SECRET_SIZE];
bool LanKgGiven = false;

namespace {

char Why[LAN_FILENAME_SIZE + 160];

// The first line of `path` into `out` (at most `size` bytes): null, or why not.
const char* ReadSecretLine(const char* path, const char* what, INT8U* out, size_t size, size_t* taken)
{
    int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        std::snprintf(Why, sizeof Why, "%s file %s cannot be read: %s", what, path, std::strerror(errno));
        if (fd >= 0)
            close(fd);
        return Why;
    }
    const char* refused = !S_ISREG(st.st_mode)   ? "it is not a regular file"
                          : (st.st_mode & 0077) ? "others may read it (chmod 600)"
                                                 : nullptr;
    if (refused) {
        close(fd);
        std::snprintf(Why, sizeof Why, "%s file %s refused: %s", what, path, refused);
        return Why;
    }
    char line[LAN_SECRET_SIZE + 2];
    ssize_t n = read(fd, line, sizeof line);
    close(fd);
    size_t length = 0;
    while (n > 0 && length < static_cast<size_t>(n) && line[length] != '\n' && line[length] != '\r')
        ++length;
    const char* result = nullptr;
    if (n < 0) {
        std::snprintf(Why, sizeof Why, "%s file %s cannot be read: %s", what, path, std::strerror(errno));
        result = Why;
    } else if (length > size) {
        std::snprintf(Why, sizeof Why, "%s file %s holds more than %d bytes on its first line", what, path,
                      static_cast<int>(size));
        result = Why;
    } else {
        std::memcpy(out, line, length);
        *taken = length;
    }
    LanWipe(line, sizeof line);
    return result;
}

}  // namespace

const char* LanLoadSecrets()
{
    LanWipeSecrets();
    if (LanPasswordFile[0]) {
        if (const char* why = ReadSecretLine(LanPasswordFile, "Password", LanPassword, sizeof LanPassword,
                                             &LanPasswordSize))
            return why;
    } else if (const char* password = std::getenv("IPMI_PASSWORD")) {
        size_t length = std::strlen(password);
        if (length > sizeof LanPassword)
            return "IPMI_PASSWORD holds more than 20 bytes";
        std::memcpy(LanPassword, password, length);
        LanPasswordSize = length;
    }
    if (LanKgFile[0]) {
        size_t taken = 0;
        if (const char* why = ReadSecretLine(LanKgFile, "K_G", LanKg, sizeof LanKg, &taken))
            return why;
        LanKgGiven = true;
    }
    return nullptr;
}

void LanWipeSecrets()
{
    LanWipe(LanPassword, sizeof LanPassword);
    LanWipe(LanKg, sizeof LanKg);
    LanPasswordSize = 0;
    LanKgGiven = false;
}
