// Profile files: any file content, any names and value. A read never runs
// past its buffer; a refused write leaves the file byte for byte; an
// accepted one reads back as written and changes nothing but the one value
// or the lines it adds.
#include "platform/ProfileFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

namespace {

const std::string& FilePath()
{
    static const std::string path = [] {
        std::string folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = folder + "/velmora-fuzz-profile-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        const int fd = mkstemp(name.data());
        if (fd < 0)
            std::abort();
        close(fd);
        return std::string(name.data());
    }();
    return path;
}

void Store(const std::string& bytes)
{
    std::ofstream out(FilePath(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

std::string Load()
{
    std::ifstream in(FilePath(), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string_view Trimmed(std::string_view s)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Takes a length byte and that many bytes (cut at a NUL, as C strings are).
std::string Take(const std::uint8_t*& data, std::size_t& size)
{
    if (size == 0)
        return {};
    std::size_t n = std::min<std::size_t>(data[0] % 32, size - 1);
    std::string s(reinterpret_cast<const char*>(data + 1), n);
    data += n + 1;
    size -= n + 1;
    return s.substr(0, s.find('\0'));
}

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::uint32_t bufferSize = 1 + data[0] % 64;
    ++data;
    --size;
    const std::string section = Take(data, size);
    const std::string key = Take(data, size);
    const std::string value = Take(data, size);
    const std::string before(reinterpret_cast<const char*>(data), size);
    Store(before);

    std::vector<char> buffer(bufferSize + 16, '\x55');
    const std::uint32_t n = GetPrivateProfileStringA(section.c_str(), key.c_str(), "default", buffer.data(),
                                                     bufferSize, FilePath().c_str());
    Check(n < bufferSize && buffer[n] == '\0', "read result within its buffer");
    for (std::size_t i = bufferSize; i < buffer.size(); ++i)
        Check(buffer[i] == '\x55', "read wrote past its buffer");

    const bool written = WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), FilePath().c_str()) != 0;
    const std::string after = Load();
    if (!written) {
        Check(after == before, "refused write changed the file");
        return 0;
    }
    char readBack[256];
    GetPrivateProfileStringA(section.c_str(), key.c_str(), "\x01missing", readBack, sizeof readBack, FilePath().c_str());
    Check(std::string_view(readBack) == Trimmed(value), "value reads back as written");

    // Outside one changed value or one run of added lines, both files agree.
    std::size_t prefix = 0;
    while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix])
        ++prefix;
    std::size_t suffix = 0;
    while (suffix < before.size() - prefix && suffix < after.size() - prefix
           && before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        ++suffix;
    const std::string_view removed = std::string_view(before).substr(prefix, before.size() - prefix - suffix);
    Check(removed.find('\n') == std::string_view::npos, "other lines survive");
    return 0;
}
