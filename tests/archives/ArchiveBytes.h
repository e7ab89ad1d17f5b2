#pragma once
// Archives written byte by byte, for names and formats no tool on the test
// machine writes: ZIP names in code page 932 without the UTF-8 flag, LZH
// (stored, -lh0-) and RAR 4 (stored). Used by the tests, the benchmark and
// the fuzz target's seeds.
#include <QByteArray>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace archive_bytes {

inline std::uint32_t Crc32(const QByteArray& data)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const char c : data) {
        crc ^= std::uint8_t(c);
        for (int k = 0; k < 8; ++k)
            crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

inline void Le16(QByteArray& out, std::uint32_t v)
{
    out += char(v & 0xFF);
    out += char((v >> 8) & 0xFF);
}
inline void Le32(QByteArray& out, std::uint32_t v)
{
    Le16(out, v & 0xFFFF);
    Le16(out, v >> 16);
}

struct File {
    QByteArray name; // as stored
    QByteArray data;
    bool utf8Flag = false;
};

// A ZIP of stored files (local headers, central directory, end record).
inline QByteArray Zip(const std::vector<File>& files)
{
    QByteArray out, directory;
    for (const File& f : files) {
        const std::uint32_t offset = std::uint32_t(out.size());
        const std::uint32_t crc = Crc32(f.data);
        const std::uint32_t flags = f.utf8Flag ? 0x800 : 0;
        Le32(out, 0x04034b50);
        Le16(out, 10);
        Le16(out, flags);
        Le16(out, 0);      // stored
        Le32(out, 0x210000); // 1980-01-01 00:00
        Le32(out, crc);
        Le32(out, std::uint32_t(f.data.size()));
        Le32(out, std::uint32_t(f.data.size()));
        Le16(out, std::uint32_t(f.name.size()));
        Le16(out, 0);
        out += f.name;
        out += f.data;

        Le32(directory, 0x02014b50);
        Le16(directory, 20); // made by MS-DOS
        Le16(directory, 10);
        Le16(directory, flags);
        Le16(directory, 0);
        Le32(directory, 0x210000);
        Le32(directory, crc);
        Le32(directory, std::uint32_t(f.data.size()));
        Le32(directory, std::uint32_t(f.data.size()));
        Le16(directory, std::uint32_t(f.name.size()));
        Le16(directory, 0);
        Le16(directory, 0);
        Le16(directory, 0);
        Le16(directory, 0);
        Le32(directory, 0);
        Le32(directory, offset);
        directory += f.name;
    }
    const std::uint32_t directoryOffset = std::uint32_t(out.size());
    out += directory;
    const std::uint32_t count = std::uint32_t(files.size() > 0xFFFF ? 0xFFFF : files.size());
    Le32(out, 0x06054b50);
    Le16(out, 0);
    Le16(out, 0);
    Le16(out, count);
    Le16(out, count);
    Le32(out, std::uint32_t(directory.size()));
    Le32(out, directoryOffset);
    Le16(out, 0);
    return out;
}

// LHA's CRC-16 (polynomial 0x8005, reflected).
inline std::uint16_t Crc16(const QByteArray& data)
{
    std::uint16_t crc = 0;
    for (const char c : data) {
        crc ^= std::uint8_t(c);
        for (int k = 0; k < 8; ++k)
            crc = crc & 1 ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

// An LZH archive of stored (-lh0-) files with level 0 headers, as LHA for
// MS-DOS wrote them: names in the system's code page, no charset said.
inline QByteArray Lzh(const std::vector<File>& files)
{
    QByteArray out;
    for (const File& f : files) {
        QByteArray header = "-lh0-";
        Le32(header, std::uint32_t(f.data.size()));
        Le32(header, std::uint32_t(f.data.size()));
        Le32(header, 0x00210000); // DOS time, then date
        header += char(0x20);     // attribute: archive
        header += char(0);        // header level
        header += char(f.name.size());
        header += f.name;
        Le16(header, Crc16(f.data));
        std::uint8_t sum = 0;
        for (const char c : header)
            sum = std::uint8_t(sum + std::uint8_t(c));
        out += char(header.size());
        out += char(sum);
        out += header;
        out += f.data;
    }
    out += char(0); // end of archive
    return out;
}

// A RAR 4 archive of stored files, after RAR's technical note for version
// 2.x-4.x archives (technote.txt): marker block, archive header, one file
// header per file (method 0x30, store), end block. Each header begins with
// the low 16 bits of the CRC32 of the rest of the header.
inline QByteArray Rar4(const std::vector<File>& files)
{
    const auto block = [](QByteArray& out, const QByteArray& afterCrc) {
        Le16(out, Crc32(afterCrc) & 0xFFFF);
        out += afterCrc;
    };
    QByteArray out("Rar!\x1a\x07\x00", 7);
    QByteArray main;
    main += char(0x73);
    Le16(main, 0);  // flags
    Le16(main, 13); // header size
    Le16(main, 0);
    Le32(main, 0);
    block(out, main);
    for (const File& f : files) {
        QByteArray head;
        head += char(0x74);
        Le16(head, 0x8000); // the data size follows the header
        Le16(head, std::uint32_t(32 + f.name.size()));
        Le32(head, std::uint32_t(f.data.size())); // packed
        Le32(head, std::uint32_t(f.data.size())); // unpacked
        head += char(2);                          // Windows
        Le32(head, Crc32(f.data));
        Le32(head, 0x00210000); // DOS time
        head += char(20);       // version 2.0 unpacks it
        head += char(0x30);     // store
        Le16(head, std::uint32_t(f.name.size()));
        Le32(head, 0x20); // attributes: archive
        head += f.name;
        block(out, head);
        out += f.data;
    }
    QByteArray end;
    end += char(0x7B);
    Le16(end, 0x4000);
    Le16(end, 7);
    block(out, end);
    return out;
}

// A tar.zst that takes minutes to list: one file of `gib` GiB of zeros,
// which a listing must unpack to get past (a compressed tar cannot be
// skipped through). zstd keeps 128 KiB of one byte in a 4-byte block, so a
// terabyte takes 32 MiB.
inline QByteArray SlowTarZst(std::uint64_t gib)
{
    QByteArray tar(512, '\0');
    const auto put = [&](int offset, const QByteArray& text) {
        std::copy(text.begin(), text.end(), tar.begin() + offset);
    };
    put(0, "big.bin");
    put(100, "0000644"); // mode, owner, group, time as octal numbers
    put(108, "0000000");
    put(116, "0000000");
    put(136, "00000000000");
    const std::uint64_t size = (gib << 30) - 512;
    tar[124] = char(0x80); // the size as a base-256 number
    for (int i = 0; i < 8; ++i)
        tar[135 - i] = char((size >> (8 * i)) & 0xFF);
    tar[156] = '0';
    put(257, QByteArray("ustar\0" "00", 8));
    put(148, "        ");
    unsigned sum = 0;
    for (const char c : tar)
        sum += std::uint8_t(c);
    put(148, QByteArray::number(sum, 8).rightJustified(6, '0') + '\0');

    QByteArray out;
    Le32(out, 0xFD2FB528); // frame magic
    out += char(0x00);     // no checksum, no sizes
    out += char(0x38);     // window of 128 KiB
    const auto block = [&](std::uint32_t header) {
        out += char(header & 0xFF);
        out += char((header >> 8) & 0xFF);
        out += char((header >> 16) & 0xFF);
    };
    block(512u << 3); // raw: the tar header
    out += tar;
    const std::uint64_t blocks = (gib << 30) / (128 << 10);
    for (std::uint64_t i = 1; i <= blocks; ++i) {
        block((std::uint32_t(128) << 13) | (1u << 1) | (i == blocks ? 1u : 0u)); // RLE
        out += char(0);
    }
    return out;
}

} // namespace archive_bytes
