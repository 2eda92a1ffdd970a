#pragma once

#include "screen_reader.h"

#include <QWidget>

#include <memory>

class SerialLine;
struct Failure;
struct Notice;

namespace Ui {
class main_form;
}

// The program's one window: choose a port by number, open it, pull the relay in or release it.
class main_form : public QWidget
{
    Q_OBJECT

public:
    explicit main_form(SerialLine &line, QWidget *parent = nullptr);
    ~main_form() override;

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void open_comm_Click();
    void xihestate_Click();
    void duankai_Click();

    void switchRelay(const QString &stateText, bool level);
    void showPortClosed();
    void showState(const QString &text);
    void announceState();
    bool dispatch(void (main_form::*handler)());
    void showFailure(const Failure &failure);
    void showNotice(const Notice &notice);

    ScreenReaderNotice m_screenReader; // first: it decides the window's interface
    std::unique_ptr<Ui::main_form> ui;
    SerialLine &MSComm1;
    bool m_placed = false;
    qint16 m_openNumber = 0;          // the port the window has open, to name it when it closes
    bool m_selectPortOnFocus = false; // the port field's number, once the field has the focus
    int m_portListKey = 0; // the What's This key, pressed in the port field and not yet let go
};
