#include "platform/MessageBox.h"

#include <QMessageBox>

void ShowMessage(QWidget* parent, const QString& text, MessageIcon icon)
{
    QMessageBox box(icon == MessageIcon::Critical ? QMessageBox::Critical : QMessageBox::NoIcon, ProgramTitle(),
                    text, QMessageBox::Ok, parent);
    box.exec();
}
