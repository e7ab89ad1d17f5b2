#pragma once
// Closes every message box that opens while it lives and remembers what each
// one said, so tests can drive code that shows modal messages.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QVector>

struct ShownMessage {
    QString title;
    QString text;
    QMessageBox::Icon icon;
};

class MessageBoxCloser {
public:
    MessageBoxCloser()
    {
        QObject::connect(&mTimer, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                mShown.append({box->windowTitle(), box->text(), box->icon()});
                box->accept();
            }
        });
        mTimer.start(5);
    }
    const QVector<ShownMessage>& Shown() const { return mShown; }

private:
    QTimer mTimer;
    QVector<ShownMessage> mShown;
};
