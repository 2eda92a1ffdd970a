#include "main_form.h"

#include "ui_main_form.h"

#include "failure.h"
#include "port_list.h"
#include "port_number.h"
#include "serial_line.h"
#include "skip_taskbar.h"

#include <QApplication>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QTextDocument>
#include <QToolTip>

#include <cmath>
#include <exception>

namespace {

// The window's mode lives in the open/close button's text; these are compared as they stand.
const QString openPortText = QStringLiteral("打开串口");
const QString closePortText = QStringLiteral("关闭串口");
const QString stateUnknownText = QStringLiteral("状态未知");
const QString pullInText = QStringLiteral("吸合");
const QString releaseText = QStringLiteral("断开");
const QString portNotOpenText = QStringLiteral("端口未打开");

// Every message box's title, where Qt would otherwise put the file name. Not set as the
// application's display name: Qt would add that to the end of the window's caption too.
const QString messageTitle = QStringLiteral("串口继电器控制");

// The design's faces in order of preference: the Windows name, its Latin alias, and the
// Song-style face Debian ships, so the same strokes show on either system. A Windows without
// SimSun (one installed without Chinese) gets other Simplified Chinese faces, never the
// Japanese ones the system would fall back to outside a Chinese locale.
void applyDesignFont(QWidget *widget, qreal pointSize, bool bold)
{
    QFont font = widget->font();
    font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("NSimSun"),
                      QStringLiteral("Noto Serif CJK SC"), QStringLiteral("Microsoft YaHei"),
                      QStringLiteral("DengXian"), QStringLiteral("SimHei")});
    // The stored design holds whole points; the design's sizes are quarter points.
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    widget->setFont(font);
}

// The host's ports as the user numbers them, read anew each time. Port names, the product
// strings USB adapters give themselves and host names come from outside: a tooltip would take
// tags among them for markup, so the text goes in escaped, its lines and spaces kept.
QString portListText()
{
    const QList<PortEntry> ports = hostPorts();
    return Qt::convertFromPlainText(ports.isEmpty() ? QStringLiteral("本机当前没有串口")
                                                    : QStringLiteral("本机的串口：\n") +
                                                          describedPortList(ports),
                                    Qt::WhiteSpacePre);
}

// Relative luminance as WCAG defines it.
qreal luminance(const QColor &colour)
{
    const auto linear = [](qreal c) {
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    const QColor rgb = colour.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) +
           0.0722 * linear(rgb.blueF());
}

// Black stands out from it more than white does.
bool isLight(const QColor &background)
{
    const qreal level = luminance(background) + 0.05;
    return level / 0.05 >= 1.05 / level;
}

// The design's texts are black, drawn on whatever the colour scheme puts behind them: right on
// the light grey they were made on, unreadable on a dark scheme, where the scheme's own text
// colour is taken instead. Only the groups the design sets are touched, so disabled text keeps
// the style's grey.
void followBackground(QWidget *widget, QPalette::ColorRole text, QPalette::ColorRole background)
{
    const QPalette scheme = QApplication::palette(widget);
    QPalette palette = widget->palette();
    bool changed = false;
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        const QColor wanted = isLight(palette.color(group, background)) ? QColor(Qt::black)
                                                                        : scheme.color(group, text);
        if (palette.color(group, text) != wanted) {
            palette.setColor(group, text, wanted);
            changed = true;
        }
    }
    // Setting it raises a palette change of its own, which then finds nothing left to do.
    if (changed)
        widget->setPalette(palette);
}

// For a step that may wait on a server's answer, up to a few seconds; restored when it ends.
auto waitCursor()
{
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    return qScopeGuard([] { QGuiApplication::restoreOverrideCursor(); });
}

// The program's message boxes: its title, a Chinese button, and text that can be selected
// and copied, a command in it among others; the keyboard stays on the button.
void showMessage(QWidget *parent, QMessageBox::Icon icon, const QString &text)
{
    QMessageBox box(icon, messageTitle, text, QMessageBox::Ok, parent);
    // Qt's own button text is English unless its translations are installed; the window
    // speaks Chinese either way.
    box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    // Descriptions quote port names and what servers said, which are not markup.
    box.setTextFormat(Qt::PlainText);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    box.exec();
}

} // namespace

main_form::main_form(SerialLine &line, QWidget *parent)
    : QWidget(parent), m_screenReader(this), ui(std::make_unique<Ui::main_form>()), MSComm1(line)
{
    ui->setupUi(this);

    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(size());
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/vantrelo-relay-16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/vantrelo-relay-32.png"), QSize(32, 32));
    setWindowIcon(icon);

    for (QWidget *widget :
         {static_cast<QWidget *>(ui->Label3), static_cast<QWidget *>(ui->chuankou_num),
          static_cast<QWidget *>(ui->open_comm), static_cast<QWidget *>(ui->Label4),
          static_cast<QWidget *>(ui->state)})
        applyDesignFont(widget, 15.75, false);
    applyDesignFont(ui->xihestate, 26.25, true);
    applyDesignFont(ui->duankai, 26.25, true);

    connect(ui->open_comm, &QPushButton::clicked, this, [this] {
        const bool opening = ui->open_comm->text() == openPortText;
        // What went wrong in an opening is put right in the port field, so the next key typed
        // replaces the number there instead of pressing the button again.
        if (!dispatch(&main_form::open_comm_Click) && opening) {
            ui->chuankou_num->setFocus(Qt::OtherFocusReason);
            // A window just given back by the message box gets the focus later.
            if (ui->chuankou_num->hasFocus())
                ui->chuankou_num->selectAll();
            else
                m_selectPortOnFocus = true;
        }
    });
    connect(ui->xihestate, &QPushButton::clicked, this, [this] {
        dispatch(&main_form::xihestate_Click);
        announceState();
    });
    connect(ui->duankai, &QPushButton::clicked, this, [this] {
        dispatch(&main_form::duankai_Click);
        announceState();
    });
    for (QPushButton *button : {ui->open_comm, ui->xihestate, ui->duankai})
        button->installEventFilter(this);

    // The port list is shown when asked for rather than stored as the field's tooltip, so it
    // is current when a board has just been plugged in.
    ui->chuankou_num->installEventFilter(this);
    // The colour scheme can change while the program runs.
    for (QWidget *text : {static_cast<QWidget *>(ui->Label3), static_cast<QWidget *>(ui->Label4),
                          static_cast<QWidget *>(ui->state)}) {
        text->installEventFilter(this);
        followBackground(text, QPalette::WindowText, QPalette::Window);
    }
    followBackground(ui->chuankou_num, QPalette::Text, QPalette::Base);

    ui->chuankou_num->setFocus();
}

main_form::~main_form() = default;

void main_form::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_placed)
        return;
    m_placed = true;
    if (const QScreen *screen = this->screen()) {
        QRect placed = rect();
        placed.moveCenter(screen->availableGeometry().center());
        move(placed.topLeft());
    }
    skipTaskbar(this);
}

bool main_form::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::PaletteChange) {
        if (watched == ui->chuankou_num)
            followBackground(ui->chuankou_num, QPalette::Text, QPalette::Base);
        else
            followBackground(static_cast<QWidget *>(watched), QPalette::WindowText,
                             QPalette::Window);
        return false;
    }
    // Enter presses the focused button, as on Windows and in GTK programs. Qt leaves that to
    // auto-default buttons, which some styles draw smaller to make room for a default frame. A
    // held key does not repeat: each press opens or closes the port or moves the relay.
    if (event->type() == QEvent::KeyPress && watched != ui->chuankou_num) {
        const auto *key = static_cast<QKeyEvent *>(event);
        auto *button = qobject_cast<QPushButton *>(watched);
        if (button && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            if (!key->isAutoRepeat())
                button->click();
            return true;
        }
    }
    if (watched != ui->chuankou_num)
        return QWidget::eventFilter(watched, event);

    switch (event->type()) {
    case QEvent::FocusIn: {
        // The number is selected as the focus comes in by Tab, and Qt does that before it tells
        // screen readers of the focus: Orca then speaks the selection twice. Made once the
        // focus is told, the same selection is spoken with it.
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        const bool tabbed = reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
                            reason == Qt::ShortcutFocusReason;
        if (!tabbed && !m_selectPortOnFocus)
            break;
        m_selectPortOnFocus = false;
        QMetaObject::invokeMethod(ui->chuankou_num, &QLineEdit::selectAll, Qt::QueuedConnection);
        if (!tabbed)
            break;
        QFocusEvent withoutSelecting(QEvent::FocusIn, Qt::OtherFocusReason);
        QCoreApplication::sendEvent(ui->chuankou_num, &withoutSelecting);
        return true;
    }
    case QEvent::ToolTip:
        QToolTip::showText(static_cast<QHelpEvent *>(event)->globalPos(), portListText(),
                           ui->chuankou_num);
        return true;
    // The same list for the keyboard, with the What's This key (Shift+F1), and for the What's
    // This pointer.
    case QEvent::QueryWhatsThis:
        event->accept();
        return true;
    case QEvent::WhatsThis:
        QToolTip::showText(static_cast<QHelpEvent *>(event)->globalPos(), portListText(),
                           ui->chuankou_num);
        return true;
    case QEvent::KeyPress:
        if (static_cast<QKeyEvent *>(event)->matches(QKeySequence::WhatsThis)) {
            m_portListKey = static_cast<QKeyEvent *>(event)->key();
            return true;
        }
        break;
    case QEvent::KeyRelease:
        // Shown as the key is let go: a tooltip vanishes at any key event, its own included.
        if (m_portListKey && static_cast<QKeyEvent *>(event)->key() == m_portListKey) {
            m_portListKey = 0;
            QToolTip::showText(ui->chuankou_num->mapToGlobal(QPoint(0, ui->chuankou_num->height())),
                               portListText(), ui->chuankou_num);
            return true;
        }
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void main_form::open_comm_Click()
{
    const QString mode = ui->open_comm->text();
    if (mode == openPortText) {
        qint16 number = 0;
        try {
            number = toPortNumber(ui->chuankou_num->text());
        } catch (Failure &failure) {
            // Any number the host has is in range; naming them helps more than the limits.
            if (failure.number == failure_number::PortNumberOutOfRange)
                failure.description += portsAdvice(hostPorts());
            throw;
        }
        MSComm1.putCommPort(number);
        if (MSComm1.getPortOpen())
            return;
        {
            // An opening may wait for the driver to finish the last closing of the same port
            // (pl2303 takes 2 s), or for a server over the network; the window keeps painting.
            const auto restore = waitCursor();
            MSComm1.putPortOpen(true);
        }
        ui->open_comm->setText(closePortText);
        ui->chuankou_num->setEnabled(false);
        ui->xihestate->setEnabled(true);
        ui->duankai->setEnabled(true);
        ui->state->setEnabled(true);
        // The button's new name is no news to a screen reader, which keeps the name it read.
        m_openNumber = number;
        const QString device = MSComm1.openDevice();
        m_screenReader.say(
            device.isEmpty()
                ? QStringLiteral("串口 %1 已打开").arg(number)
                : QStringLiteral("串口 %1 已打开（%2）").arg(QString::number(number), device));
        // Told before the first click, while the relay is still released.
        for (const Notice &notice : MSComm1.takeNotices())
            showNotice(notice);
    } else if (mode == closePortText) {
        if (!MSComm1.getPortOpen())
            return;
        // A close that reports an error has still let go of the port, so the window must
        // say the port is closed, or the user could never open it again.
        const auto closed = qScopeGuard([this] { showPortClosed(); });
        const auto restore = waitCursor();
        MSComm1.putPortOpen(false);
        m_screenReader.say(QStringLiteral("串口 %1 已关闭").arg(m_openNumber));
    }
}

void main_form::showPortClosed()
{
    ui->open_comm->setText(openPortText);
    showState(stateUnknownText);
    ui->chuankou_num->setEnabled(true);
    ui->xihestate->setEnabled(false);
    ui->duankai->setEnabled(false);
    ui->state->setEnabled(false);
}

void main_form::xihestate_Click()
{
    switchRelay(pullInText, true);
}

void main_form::duankai_Click()
{
    switchRelay(releaseText, false);
}

void main_form::switchRelay(const QString &stateText, bool level)
{
    if (!MSComm1.getPortOpen()) {
        showState(portNotOpenText);
        return;
    }
    showState(stateText);
    // If the line refused the level, the label must not claim it took.
    auto unknown = qScopeGuard([this] { showState(stateUnknownText); });
    const auto restore = waitCursor();
    MSComm1.putRTSEnable(level);
    unknown.dismiss();
}

void main_form::showState(const QString &text)
{
    // QLabel tells assistive technology of the new name itself.
    ui->state->setText(text);
}

void main_form::announceState()
{
    // Read as the label reads on screen, after its caption.
    m_screenReader.say(ui->Label4->text() + ui->state->text());
}

bool main_form::dispatch(void (main_form::*handler)())
{
    try {
        (this->*handler)();
        return true;
    } catch (const Failure &failure) {
        showFailure(failure);
    } catch (const std::exception &error) {
        showFailure({failure_number::SerialPortFailed, QString::fromLocal8Bit(error.what())});
    }
    return false;
}

void main_form::showFailure(const Failure &failure)
{
    showMessage(this, QMessageBox::Critical,
                QStringLiteral("错误 %1：%2").arg(failure.number).arg(failure.description));
}

void main_form::showNotice(const Notice &notice)
{
    showMessage(this, QMessageBox::Information,
                QStringLiteral("提示 %1：%2").arg(notice.number).arg(notice.description));
}
