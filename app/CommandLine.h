#pragma once
// What the command line asks of a start: velmora [OPTIONS] [FOLDER|PICTURE].
// A folder opens the main window on it and starts its show; a picture does
// the same for its folder, the show starting at that picture.
#include <optional>

#include <QString>
#include <QStringList>

struct StartRequest {
    QString folder;                // empty: the main window as the settings leave it
    QString picture;               // the file the show starts at, if one was named
    std::optional<int> interval;   // seconds, 1 to 50, for this run only
    bool startShow = true;         // --no-show opens the main window alone
};

struct CommandLine {
    enum class Outcome { Run, Done, Failed };
    Outcome outcome = Outcome::Run;
    StartRequest request;
    QString text; // --help or --version (Done), or the one-line error (Failed)
};

// arguments as QCoreApplication::arguments() gives them (the program first).
CommandLine ParseCommandLine(const QStringList& arguments);
