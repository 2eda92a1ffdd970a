#include "main_form.h"

#include "ui_main_form.h"

#include "failure.h"
#include "port_list.h"
#include "port_number.h"
#include "serial_line.h"
#include "skip_taskbar.h"

#include <QApplication>
#include <QHelpEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QToolTip>

#include <exception>

namespace {

// The window's mode lives in the open/close button's text; these are compared as they stand.
const QString openPortText = QStringLiteral("打开串口");
const QString closePortText = QStringLiteral("关闭串口");
const QString stateUnknownText = QStringLiteral("状态未知");
const QString pullInText = QStringLiteral("吸合");
const QString releaseText = QStringLiteral("断开");
const QString portNotOpenText = QStringLiteral("端口未打开");

// The design's faces in order of preference: the Windows name, its Latin alias, and the
// Song-style face Debian ships, so the same strokes show on either system.
void applyDesignFont(QWidget *widget, qreal pointSize, bool bold)
{
    QFont font = widget->font();
    font.setFamilies(
        {QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("Noto Serif CJK SC")});
    // The stored design holds whole points; the design's sizes are quarter points.
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    widget->setFont(font);
}

} // namespace

main_form::main_form(SerialLine &line, QWidget *parent)
    : QWidget(parent), ui(std::make_unique<Ui::main_form>()), MSComm1(line)
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

    connect(ui->open_comm, &QPushButton::clicked, this,
            [this] { dispatch(&main_form::open_comm_Click); });
    connect(ui->xihestate, &QPushButton::clicked, this,
            [this] { dispatch(&main_form::xihestate_Click); });
    connect(ui->duankai, &QPushButton::clicked, this,
            [this] { dispatch(&main_form::duankai_Click); });

    // The port list is shown when asked for rather than stored as the field's tooltip, so it
    // is current when a board has just been plugged in.
    ui->chuankou_num->installEventFilter(this);

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
    if (watched == ui->chuankou_num && event->type() == QEvent::ToolTip) {
        const QList<PortEntry> ports = hostPorts();
        const QString text = ports.isEmpty()
                                 ? QStringLiteral("本机当前没有串口")
                                 : QStringLiteral("本机的串口：\n") + describedPortList(ports);
        QToolTip::showText(static_cast<QHelpEvent *>(event)->globalPos(), text, ui->chuankou_num);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void main_form::open_comm_Click()
{
    const QString mode = ui->open_comm->text();
    if (mode == openPortText) {
        const qint16 number = toPortNumber(ui->chuankou_num->text());
        MSComm1.putCommPort(number);
        if (MSComm1.getPortOpen())
            return;
        MSComm1.putPortOpen(true);
        ui->open_comm->setText(closePortText);
        ui->chuankou_num->setEnabled(false);
        ui->xihestate->setEnabled(true);
        ui->duankai->setEnabled(true);
        ui->state->setEnabled(true);
    } else if (mode == closePortText) {
        if (!MSComm1.getPortOpen())
            return;
        // A close that reports an error has still let go of the port, so the window must
        // say the port is closed, or the user could never open it again.
        const auto closed = qScopeGuard([this] { showPortClosed(); });
        MSComm1.putPortOpen(false);
    }
}

void main_form::showPortClosed()
{
    ui->open_comm->setText(openPortText);
    ui->state->setText(stateUnknownText);
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
        ui->state->setText(portNotOpenText);
        return;
    }
    ui->state->setText(stateText);
    // If the line refused the level, the label must not claim it took.
    auto unknown = qScopeGuard([this] { ui->state->setText(stateUnknownText); });
    MSComm1.putRTSEnable(level);
    unknown.dismiss();
}

void main_form::dispatch(void (main_form::*handler)())
{
    try {
        (this->*handler)();
    } catch (const Failure &failure) {
        showFailure(failure);
    } catch (const std::exception &error) {
        showFailure({failure_number::SerialPortFailed, QString::fromLocal8Bit(error.what())});
    }
}

void main_form::showFailure(const Failure &failure)
{
    QMessageBox box(QMessageBox::Critical, QApplication::applicationDisplayName(),
                    QStringLiteral("错误 %1：%2").arg(failure.number).arg(failure.description),
                    QMessageBox::Ok, this);
    // Qt's own button text is English unless its translations are installed; the window
    // speaks Chinese either way.
    box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
    box.exec();
}
