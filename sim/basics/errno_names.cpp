// SPDX-License-Identifier: MIT
#include "errno_names.h"

#include <cerrno>

namespace sim {

namespace {

struct ErrnoName {
    const char* name;
    int value;
};
constexpr ErrnoName kErrnoNames[] = {
    {"EIO", EIO},       {"EBUSY", EBUSY},   {"EAGAIN", EAGAIN},     {"EINVAL", EINVAL},   {"EFAULT", EFAULT},
    {"EINTR", EINTR},   {"EMSGSIZE", EMSGSIZE}, {"ENOMEM", ENOMEM}, {"ENXIO", ENXIO},     {"ENODEV", ENODEV},
    {"EBADF", EBADF},   {"ETIMEDOUT", ETIMEDOUT}, {"ENOENT", ENOENT}, {"EPERM", EPERM},   {"EACCES", EACCES},
    {"ENOTTY", ENOTTY}, {"ENOSPC", ENOSPC}, {"EROFS", EROFS}, {"EDQUOT", EDQUOT}, {"EFBIG", EFBIG},
};

}  // namespace

const char* errno_name(int value)
{
    for (const ErrnoName& e : kErrnoNames)
        if (e.value == value)
            return e.name;
    return "E?";
}

int parse_errno(const Field& f)
{
    if (f.is_string()) {
        std::string s = f.string();
        for (const ErrnoName& e : kErrnoNames)
            if (s == e.name)
                return e.value;
        if (!parse_unsigned(s))
            f.fail("expected an errno name (EIO, EBUSY, ...) or a number");
    }
    return static_cast<int>(f.unsigned_in(1, 4095));
}

}  // namespace sim
