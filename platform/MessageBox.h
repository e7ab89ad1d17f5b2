#pragma once
// Message boxes as the program shows them: modal, titled with the program's
// title, with an OK button.
#include <QString>

class QWidget;

enum class MessageIcon { None, Critical };

// Shows text and returns when the user has closed the box.
void ShowMessage(QWidget* parent, const QString& text, MessageIcon icon);

// The program's title, the caption of every message box.
inline QString ProgramTitle() { return QStringLiteral("Velmora"); }
