#include "platform/private_file.h"

#include <fcntl.h>
#include <unistd.h>

namespace plat {

FILE* OpenPrivateFile(const char* path, bool append) {
    if (path == nullptr) return nullptr;
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    const int fd = ::open(path, flags, 0600);
    if (fd < 0) return nullptr;
    FILE* file = ::fdopen(fd, append ? "ab" : "wb");
    if (file == nullptr) ::close(fd);
    return file;
}

}  // namespace plat
