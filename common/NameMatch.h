#pragma once
// File names compared as the original platform compares them: without regard
// to case (each code point upper-cased), with "*" and "?" wildcards. Names are
// UTF-8 bytes that need not be valid; a byte that starts no valid sequence
// stands for itself as U+DC00 + byte, so such names still compare byte for byte.
#include <string>
#include <string_view>

#include <QStringView>

// The code point that starts at p (p moves past it).
char32_t NextCodePoint(const unsigned char*& p, const unsigned char* end);

// A name with each code point upper-cased, ready to compare.
std::u32string FoldName(std::string_view bytes);
std::u32string FoldName(QStringView text);
// The same into out, whose storage is reused.
void FoldName(QStringView text, std::u32string& out);

// The order of a folder's entries: by upper-cased code points, ties by the
// exact bytes; below zero when a comes first.
int CompareNames(std::string_view a, std::string_view b);

// "*" any run of code points, "?" exactly one; both sides folded.
bool WildcardMatch(std::u32string_view pattern, std::u32string_view name);
