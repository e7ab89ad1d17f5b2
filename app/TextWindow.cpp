#include "app/TextWindow.h"

#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "platform/MessageBox.h"

TextWindow::TextWindow(const QString& path, QWidget* owner) : QWidget(owner, Qt::Window)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QFileInfo(path).fileName() + QStringLiteral(" - ") + ProgramTitle());
    if (owner)
        setWindowIcon(owner->windowIcon());
    Text = new QPlainTextEdit(this);
    Text->setReadOnly(true);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setFamilies({QStringLiteral("IPAGothic"), QStringLiteral("Noto Sans Mono CJK JP"), font.family()});
    Text->setFont(font);
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        Text->setPlainText(QString::fromUtf8(file.readAll()));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Text);
    resize(640, 560);
}
