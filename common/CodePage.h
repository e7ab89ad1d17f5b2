#pragma once
#include <QByteArray>
#include <QByteArrayView>
#include <QString>

// Texts cross the file system, the settings file and the plug-in bridge in the
// system code page, UTF-8 (as Qt takes it on every Unix system).
//
// File names on Linux are bytes and need not be valid UTF-8. So that every
// name read from a folder can be opened again, bytes that do not decode are
// carried as the lone surrogates U+DC80..U+DCFF and turned back into the same
// bytes on the way out.
QString FromCodePage(QByteArrayView bytes);
QByteArray ToCodePage(const QString& text);
