#include "platform/ProfileFile.h"

// Layout rules, as the original platform reads files that people edit:
// - "[name]" starts a section; blanks before "[" and around the name are
//   ignored, text after "]" too. A line starting with "[" without "]" is
//   neither a header nor a key.
// - "key=value" is a key; blanks around key and value are dropped. A line
//   without "=" is no key (a read of that name gives the default).
// - Lines starting with ";" are comments.
// - Names match case-insensitively (ASCII letters).
// - Only the first section of a name counts, and in it the first key of a
//   name; later duplicates are kept in the file but never read or changed.
// - Quotes around a value are kept as part of it: the writer stores values
//   unquoted, so stripping them would change a value such as a folder named
//   "x" on its way back.
// - A UTF-8 byte-order mark (Windows editors add one) is skipped and kept.
// Every line that a write does not touch is kept byte for byte.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A settings file beyond this size is not read (nor replaced).
constexpr std::size_t kMaxFileSize = std::size_t(1) << 30;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return true;
}

struct Line {
    std::size_t begin = 0; // first byte
    std::size_t end = 0;   // end of the content, before CR LF or LF
    std::size_t next = 0;  // first byte of the following line
};

bool NextLine(std::string_view data, std::size_t& pos, Line& line)
{
    if (pos >= data.size())
        return false;
    line.begin = pos;
    const std::size_t nl = data.find('\n', pos);
    if (nl == std::string_view::npos) {
        line.end = line.next = data.size();
    } else {
        line.end = nl;
        line.next = nl + 1;
        if (line.end > line.begin && data[line.end - 1] == '\r')
            --line.end;
    }
    pos = line.next;
    return true;
}

enum class Kind { Other, Header, Key };

struct Parsed {
    Kind kind = Kind::Other;
    std::string_view name;       // section or key name, trimmed
    std::string_view value;      // key value, trimmed
    std::size_t valueFrom = 0;   // offset where a new value goes (after "=" and blanks)
};

Parsed ParseLine(std::string_view data, const Line& line)
{
    Parsed p;
    std::string_view content = data.substr(line.begin, line.end - line.begin);
    std::size_t lead = 0;
    while (lead < content.size() && IsBlank(content[lead]))
        ++lead;
    content.remove_prefix(lead);
    if (content.empty() || content.front() == ';')
        return p;
    if (content.front() == '[') {
        const std::size_t close = content.find(']');
        if (close != std::string_view::npos) {
            p.kind = Kind::Header;
            p.name = Trim(content.substr(1, close - 1));
        }
        return p;
    }
    const std::size_t eq = content.find('=');
    if (eq == std::string_view::npos)
        return p;
    p.name = Trim(content.substr(0, eq));
    if (p.name.empty())
        return p;
    p.kind = Kind::Key;
    std::size_t from = eq + 1;
    while (from < content.size() && IsBlank(content[from]))
        ++from;
    p.valueFrom = line.begin + lead + from;
    p.value = Trim(content.substr(from));
    return p;
}

std::size_t BodyStart(std::string_view data)
{
    return data.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
}

// Where a section and a key stand in a file.
struct Location {
    bool sectionFound = false;
    std::size_t sectionBegin = 0; // header line's first byte
    std::size_t sectionEnd = 0;   // first byte of the next header, or the end
    std::size_t afterLastKey = 0; // after the last key line (or the header)
    bool keyFound = false;
    Line keyLine;
    Parsed key;
};

Location Locate(std::string_view data, std::string_view section, std::string_view key)
{
    Location loc;
    loc.sectionEnd = data.size();
    std::size_t pos = BodyStart(data);
    Line line;
    while (NextLine(data, pos, line)) {
        const Parsed p = ParseLine(data, line);
        if (p.kind == Kind::Header) {
            if (loc.sectionFound) {
                loc.sectionEnd = line.begin;
                break;
            }
            if (SameName(p.name, section)) {
                loc.sectionFound = true;
                loc.sectionBegin = line.begin;
                loc.afterLastKey = line.next;
            }
        } else if (p.kind == Kind::Key && loc.sectionFound) {
            if (!key.empty() && SameName(p.name, key)) {
                loc.keyFound = true;
                loc.keyLine = line;
                loc.key = p;
                break;
            }
            loc.afterLastKey = line.next;
        }
    }
    return loc;
}

enum class ReadStatus { Ok, Missing, Failed };

// The whole file; a folder, a device or a pipe counts as unreadable.
ReadStatus ReadFile(const char* path, std::string& out)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return errno == ENOENT ? ReadStatus::Missing : ReadStatus::Failed;
    ReadStatus status = ReadStatus::Ok;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || std::size_t(st.st_size) > kMaxFileSize) {
        close(fd);
        return ReadStatus::Failed;
    }
    try {
        out.clear();
        out.reserve(std::size_t(st.st_size));
        char chunk[65536];
        for (;;) {
            const ssize_t n = read(fd, chunk, sizeof chunk);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                status = ReadStatus::Failed;
                break;
            }
            if (n == 0)
                break;
            if (out.size() + std::size_t(n) > kMaxFileSize) {
                status = ReadStatus::Failed;
                break;
            }
            out.append(chunk, std::size_t(n));
        }
    } catch (const std::bad_alloc&) {
        status = ReadStatus::Failed;
    }
    close(fd);
    return status;
}

std::string DirName(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file that a write must replace: symbolic links are followed (also
// dangling ones, whose target is then created), so the link itself stays.
std::optional<std::string> ResolveLinks(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0)
            return errno == ENOENT ? std::optional<std::string>(path) : std::nullopt;
        if (!S_ISLNK(st.st_mode))
            return path;
        std::string target(4096, '\0');
        const ssize_t n = readlink(path.c_str(), target.data(), target.size());
        if (n <= 0 || std::size_t(n) >= target.size())
            return std::nullopt;
        target.resize(std::size_t(n));
        path = target.front() == '/' ? target : DirName(path) + "/" + target;
    }
    return std::nullopt; // a loop of links
}

bool WriteAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(std::size_t(n));
    }
    return true;
}

// Replaces path by data[0, cutBegin) + insert + data[cutEnd, end): the new
// contents go to a temporary file beside it that is renamed over it, so the
// old file stays whole until the new one is complete on disk.
bool ReplaceFile(const std::string& path, bool exists, std::string_view data, std::size_t cutBegin,
                 std::size_t cutEnd, std::string_view insert)
{
    struct stat old {};
    if (exists && stat(path.c_str(), &old) != 0)
        return false;

    const std::string dir = DirName(path);
    std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    if (base.size() > 100)
        base.resize(100);
    std::random_device seed;
    std::mt19937 rng(seed());
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = dir + "/." + base + "." + std::to_string(getpid()) + "-" + std::to_string(rng() % 1000000000u) + ".tmp";
        // 0666 under the umask, as any newly created file.
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;

    bool ok = true;
    if (exists) {
        ok = fchmod(fd, old.st_mode & 07777) == 0;
        if (ok && geteuid() == 0)
            (void)!fchown(fd, old.st_uid, old.st_gid);
    }
    ok = ok && WriteAll(fd, data.substr(0, cutBegin)) && WriteAll(fd, insert) && WriteAll(fd, data.substr(cutEnd))
         && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    ok = ok && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    // Make the rename itself durable; a failure here loses nothing.
    const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// The file's own line ending, taken from its first line; LF for a new file.
std::string_view LineEnding(std::string_view data)
{
    const std::size_t nl = data.find('\n');
    return (nl != std::string_view::npos && nl > 0 && data[nl - 1] == '\r') ? "\r\n" : "\n";
}

} // namespace

std::uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* def,
                                       char* buf, std::uint32_t size, const char* fileName)
{
    if (buf == nullptr || size == 0)
        return 0;
    std::string_view result = def ? def : "";
    std::string data;
    Location loc;
    if (section && key && fileName && ReadFile(fileName, data) == ReadStatus::Ok) {
        const std::string_view wantedKey = Trim(key);
        loc = Locate(data, Trim(section), wantedKey);
        if (loc.keyFound && !wantedKey.empty())
            result = loc.key.value;
    }
    const std::size_t n = std::min<std::size_t>(result.size(), size - 1);
    std::memcpy(buf, result.data(), n);
    buf[n] = '\0';
    return std::uint32_t(n);
}

int WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                               const char* fileName)
{
    if (section == nullptr || fileName == nullptr || *fileName == '\0')
        return 0;
    // Names and values that would not read back as themselves are refused.
    const std::string_view sectionName = Trim(section);
    if (sectionName.empty() || HasLineBreak(sectionName) || sectionName.find(']') != std::string_view::npos)
        return 0;
    std::string_view keyName;
    if (key) {
        keyName = Trim(key);
        if (keyName.empty() || HasLineBreak(keyName) || keyName.find('=') != std::string_view::npos
            || keyName.front() == ';' || keyName.front() == '[')
            return 0;
    }
    if (value && HasLineBreak(value))
        return 0;

    const std::optional<std::string> target = ResolveLinks(fileName);
    if (!target)
        return 0;
    std::string data;
    const ReadStatus status = ReadFile(target->c_str(), data);
    if (status == ReadStatus::Failed)
        return 0;
    const bool exists = status == ReadStatus::Ok;
    // A file marked read-only (no write bit at all) stays as it is, for root
    // too, as a read-only attribute would; otherwise the folder decides.
    if (exists) {
        struct stat st {};
        if (stat(target->c_str(), &st) != 0 || (st.st_mode & 0222) == 0 || access(target->c_str(), W_OK) != 0)
            return 0;
    }

    const std::string_view eol = LineEnding(data);
    const Location loc = Locate(data, sectionName, keyName);
    const bool endsInBreak = data.empty() || data.back() == '\n';
    std::size_t cutBegin = data.size();
    std::size_t cutEnd = data.size();
    std::string insert;

    if (key == nullptr) { // remove the whole section
        if (!loc.sectionFound)
            return 1;
        cutBegin = loc.sectionBegin;
        cutEnd = loc.sectionEnd;
    } else if (value == nullptr) { // remove the key
        if (!loc.keyFound)
            return 1;
        cutBegin = loc.keyLine.begin;
        cutEnd = loc.keyLine.next;
    } else if (loc.keyFound) { // replace the value, keeping the key's own spelling
        cutBegin = loc.key.valueFrom;
        cutEnd = loc.keyLine.end;
        insert = value;
        if (std::string_view(data).substr(cutBegin, cutEnd - cutBegin) == insert)
            return 1;
    } else if (loc.sectionFound) { // add the key after the section's last key
        cutBegin = cutEnd = loc.afterLastKey;
        if (cutBegin == data.size() && !endsInBreak)
            insert += eol;
        insert.append(keyName).append("=").append(value).append(eol);
    } else { // add the section at the end
        if (!endsInBreak)
            insert += eol;
        insert.append("[").append(sectionName).append("]").append(eol);
        insert.append(keyName).append("=").append(value).append(eol);
    }
    return ReplaceFile(*target, exists, data, cutBegin, cutEnd, insert) ? 1 : 0;
}
