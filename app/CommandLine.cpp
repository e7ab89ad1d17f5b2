#include "app/CommandLine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "platform/MessageBox.h"

CommandLine ParseCommandLine(const QStringList& arguments)
{
    CommandLine line;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("フォルダーの画像を全画面で順に表示します。"));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption interval(QStringLiteral("interval"),
                                      QStringLiteral("この実行だけのスライドショーの間隔（1～50 秒）"),
                                      QStringLiteral("N"));
    const QCommandLineOption noShow(QStringLiteral("no-show"),
                                    QStringLiteral("フォルダーを開くだけで、スライドショーは始めない"));
    parser.addOption(interval);
    parser.addOption(noShow);
    parser.addPositionalArgument(QStringLiteral("path"), QStringLiteral("表示するフォルダーか画像"),
                                 QStringLiteral("[FOLDER|PICTURE]"));
    const auto fail = [&](const QString& why) {
        line.outcome = CommandLine::Outcome::Failed;
        line.text = QStringLiteral("velmora: ") + why;
        return line;
    };
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    const bool helpAll = parser.isSet(QStringLiteral("help-all"));
    if (parser.isSet(help) || helpAll || parser.isSet(version)) {
        line.outcome = CommandLine::Outcome::Done;
        line.text = parser.isSet(help) || helpAll ? parser.helpText()
                                       : ProgramTitle() + u' ' + QCoreApplication::applicationVersion() + u'\n';
        return line;
    }
    if (parser.isSet(interval)) {
        bool number = false;
        const int seconds = parser.value(interval).toInt(&number);
        if (!number || seconds < 1 || seconds > 50)
            return fail(QStringLiteral("--interval takes a whole number of seconds from 1 to 50, not \"") +
                        parser.value(interval) + u'"');
        line.request.interval = seconds;
    }
    line.request.startShow = !parser.isSet(noShow);
    const QStringList paths = parser.positionalArguments();
    if (paths.size() > 1)
        return fail(QStringLiteral("one folder or picture at most, not ") + QString::number(paths.size()));
    if (paths.isEmpty()) {
        line.request.startShow = false; // the main window as the user left it
        return line;
    }
    const QFileInfo path(paths[0]);
    if (!path.exists())
        return fail(QStringLiteral("no such file or folder: ") + paths[0]);
    if (path.isDir()) {
        line.request.folder = QDir::cleanPath(path.absoluteFilePath());
    } else {
        line.request.folder = path.absolutePath();
        line.request.picture = path.absoluteFilePath();
    }
    return line;
}
