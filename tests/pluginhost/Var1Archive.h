#pragma once
// Archives in the test archive plug-ins' own format (fixtures/testarchive.c):
// "VAR1", then per file: u8 name length, the name, u32 little-endian data
// length, the data.
#include <utility>
#include <vector>

#include <QByteArray>
#include <QtEndian>

inline QByteArray Var1(const std::vector<std::pair<QByteArray, QByteArray>>& files)
{
    QByteArray archive("VAR1");
    for (const auto& [name, data] : files) {
        archive.append(char(name.size())).append(name);
        char length[4];
        qToLittleEndian<quint32>(quint32(data.size()), length);
        archive.append(length, 4).append(data);
    }
    return archive;
}
