#pragma once
// What kind of program a plug-in file is, told by its header, not its name;
// and the one way the bridge opens files.
namespace PluginFile {

enum class Kind {
    Unknown,   // nothing the bridge can run
    Native,    // ELF: a Linux shared object
    Windows32, // PE32 for i386: run by velmora-spihost32.exe under wine
    Windows64, // PE32+ for x86-64: run by velmora-spihost64.exe under wine
};

Kind KindOf(const char* path);

// A regular file opened for reading, or -1: a FIFO, a device or a socket in
// its place is never opened in a way that could wait.
int OpenRegularFile(const char* path);

} // namespace PluginFile
