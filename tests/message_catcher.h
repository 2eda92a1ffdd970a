#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>

// Answers each modal message a click raises, as a user would, and remembers what it said.
class MessageCatcher
{
public:
    MessageCatcher()
    {
        QObject::connect(&m_poll, &QTimer::timeout, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            titles << box->windowTitle();
            texts << box->text();
            formats << box->textFormat();
            icons << box->icon();
            buttons << (box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->text()
                                                     : QString());
            box->accept();
        });
        m_poll.start(5);
    }

    QStringList titles;
    QStringList texts;
    QList<Qt::TextFormat> formats;
    QList<QMessageBox::Icon> icons;
    QStringList buttons;

private:
    QTimer m_poll;
};
