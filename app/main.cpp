// Velmora: a full-screen picture slide show.
#include <QApplication>
#include <QFont>
#include <QTimer>

#include <cstdio>
#include <exception>

#include "app/CommandLine.h"
#include "app/Form1.h"
#include "common/AppPaths.h"
#include "pluginhost/PluginBridge.h"
#include "pluginhost/PluginScan.h"
#include "platform/MessageBox.h"
#include "imaging/DecodeService.h"

namespace {

// An error that nothing caught ends the action that raised it, never the
// program: the user is told what went wrong.
class VelmoraApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            ShowMessage(nullptr, QString::fromUtf8(e.what()), MessageIcon::Critical);
        } catch (...) {
            ShowMessage(nullptr, QStringLiteral("unexpected error"), MessageIcon::Critical);
        }
        return false;
    }
};

} // namespace

int main(int argc, char** argv)
{
    VelmoraApplication app(argc, argv);
    // Every decoding thread, until the end of main.
    DecodeService decoding;
    app.setApplicationName(ProgramTitle());
    app.setApplicationVersion(QStringLiteral(VELMORA_VERSION));
    app.setDesktopFileName(QStringLiteral("velmora"));
    // Japanese texts need a font that has their glyphs, whatever the default.
    QFont font = app.font();
    font.setFamilies({font.family(), QStringLiteral("IPAGothic"), QStringLiteral("IPAPGothic"),
                      QStringLiteral("Noto Sans CJK JP")});
    app.setFont(font);
    const CommandLine line = ParseCommandLine(app.arguments());
    if (line.outcome != CommandLine::Outcome::Run) {
        const QByteArray text = line.text.toLocal8Bit();
        std::fputs(text.constData(), line.outcome == CommandLine::Outcome::Done ? stdout : stderr);
        if (line.outcome == CommandLine::Outcome::Failed)
            std::fputc('\n', stderr);
        return line.outcome == CommandLine::Outcome::Done ? 0 : 2;
    }
    // A show asked for here reads its plug-ins while the windows come up.
    std::unique_ptr<PluginScan> scan;
    if (line.request.startShow)
        scan = std::make_unique<PluginScan>(PluginFolders());
    Form1 window;
    window.show();
    // Once the main window is up, as the start button would.
    QTimer::singleShot(0, &window, [&window, &scan, request = line.request] { window.Open(request, std::move(scan)); });
    // Windows plug-ins need a wine prefix, which takes a while to make the
    // first time: it is started now, so that a show rarely waits for it.
    QTimer::singleShot(0, [] {
        try {
            for (const QString& folder : PluginFolders())
                PluginBridge::PreparePlugins(folder);
        } catch (const std::exception&) {
            // Without the bridge there are no plug-ins to prepare.
        }
    });
    return app.exec();
}
