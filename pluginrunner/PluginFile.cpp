#include "pluginrunner/PluginFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace PluginFile {
namespace {

std::uint16_t Word(const unsigned char* p) { return std::uint16_t(p[0] | p[1] << 8); }
std::uint32_t Dword(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

bool ReadAt(int fd, off_t offset, unsigned char* data, std::size_t size)
{
    while (size) {
        const ssize_t n = pread(fd, data, size, offset);
        if (n <= 0)
            return false;
        data += n;
        size -= std::size_t(n);
        offset += n;
    }
    return true;
}

Kind KindOfFile(int fd)
{
    unsigned char dos[64];
    if (!ReadAt(fd, 0, dos, sizeof dos))
        return Kind::Unknown;
    if (std::memcmp(dos, "\x7f" "ELF", 4) == 0)
        return Kind::Native;
    if (dos[0] != 'M' || dos[1] != 'Z')
        return Kind::Unknown;
    // The PE signature, the machine and the optional header's magic.
    unsigned char pe[26];
    const std::uint32_t at = Dword(dos + 0x3C);
    if (at > (1u << 20) || !ReadAt(fd, off_t(at), pe, sizeof pe) || std::memcmp(pe, "PE\0\0", 4) != 0)
        return Kind::Unknown;
    const std::uint16_t machine = Word(pe + 4);
    const std::uint16_t magic = Word(pe + 24);
    if (machine == 0x014C && magic == 0x010B)
        return Kind::Windows32;
    if (machine == 0x8664 && magic == 0x020B)
        return Kind::Windows64;
    return Kind::Unknown;
}

} // namespace

int OpenRegularFile(const char* path)
{
    const int fd = path ? open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1;
    struct stat info{};
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(fd);
        return -1;
    }
    return fd;
}

Kind KindOf(const char* path)
{
    const int fd = OpenRegularFile(path);
    if (fd < 0)
        return Kind::Unknown;
    const Kind kind = KindOfFile(fd);
    close(fd);
    return kind;
}

} // namespace PluginFile
