#include "chinese_ui.h"
#include "main_form.h"
#include "message_catcher.h"
#include "recording_line.h"

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QGlyphRun>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRawFont>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTextDocumentFragment>
#include <QTextLayout>
#include <QTimer>
#include <QToolTip>
#include <QtTest>

#include <cmath>
#include <memory>

namespace {

// The ports a test names, ':'-separated, in the platform's own separator.
void usePorts(QString paths)
{
    qputenv("VANTRELO_PORTS", paths.replace(u':', QDir::listSeparator()).toLocal8Bit());
}

// A tooltip's text as it reads on screen.
QString shownText(const QString &tooltip)
{
    return QTextDocumentFragment::fromHtml(tooltip).toPlainText().replace(QChar::Nbsp, u' ');
}

// What the window looks like in one of its two states, as far as the user can tell.
struct Shown
{
    QString button;
    bool field;
    bool relayButtons;
    bool stateLabel;
};
const Shown portClosed{QStringLiteral("打开串口"), true, false, false};
const Shown portOpen{QStringLiteral("关闭串口"), false, true, true};

const QString messageTitle = QStringLiteral("串口继电器控制");

// WCAG's contrast ratio between two colours.
qreal contrast(const QColor &a, const QColor &b)
{
    const auto luminance = [](const QColor &colour) {
        const auto linear = [](qreal c) {
            return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) +
               0.0722 * linear(colour.blueF());
    };
    const qreal la = luminance(a) + 0.05, lb = luminance(b) + 0.05;
    return qMax(la, lb) / qMin(la, lb);
}

// The faces that draw `text` in `font` once fallbacks have had their say.
QStringList facesDrawing(const QString &text, const QFont &font)
{
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    QStringList faces;
    for (const QGlyphRun &run : layout.glyphRuns()) {
        // Boxes drawn for want of any font come from no file: no name table, and no family to ask.
        const QRawFont raw = run.rawFont();
        faces << (raw.fontTable("name").isEmpty() ? QStringLiteral("(none)") : raw.familyName());
    }
    faces.removeDuplicates();
    return faces;
}

// CJK fonts come in one family per language, named "... SC" for Simplified Chinese; any other
// draws some characters in another country's forms.
bool simplifiedChineseForms(const QString &text, const QFont &font)
{
    const QStringList faces = facesDrawing(text, font);
    const bool all = !faces.isEmpty() && std::all_of(faces.begin(), faces.end(), [](auto &face) {
        return face.endsWith(QStringLiteral(" SC"));
    });
    if (!all)
        qWarning() << text << "is drawn with" << faces;
    return all;
}

} // namespace

class tst_main_form : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startsAsDesigned();
    void controlsHaveTheirDesign_data();
    void controlsHaveTheirDesign();
    void focusOrder();

    void openAndCloseCallTheLineInOrder();
    void reopeningUsesTheNewNumber();
    void openClickWhenLineAlreadyOpenChangesNothing();
    void closeClickWhenLineAlreadyClosedChangesNothing();

    void relayClicks_data();
    void relayClicks();
    void stateLabelIsWrittenBeforeTheLineIsDriven();
    void relayClickWithPortClosedSaysSo();
    void closingAfterPullInResetsTheLabel();

    void failures_data();
    void failures();
    void failedCloseStillShowsPortClosed();
    void openWorksAfterAFailure();

    void textsStandOutOnAnyScheme_data();
    void textsStandOutOnAnyScheme();
    void popupsSpeakSimplifiedChinese_data();
    void popupsSpeakSimplifiedChinese();

    void portFieldTooltipListsCurrentPorts();
    void hugePasteIsRefusedBriefly();

    void enterPressesTheFocusedButton_data();
    void enterPressesTheFocusedButton();

private:
    template <typename T> T *control(const char *name) const
    {
        auto *widget = m_window->findChild<T *>(QString::fromLatin1(name));
        if (!widget)
            qFatal("no control %s", name);
        return widget;
    }
    void click(const char *name) { QTest::mouseClick(control<QPushButton>(name), Qt::LeftButton); }
    void openPort(const QString &number = QStringLiteral("1"));
    static void verifyShown(const main_form &window, const Shown &expected);

    std::unique_ptr<RecordingLine> m_line;
    std::unique_ptr<main_form> m_window;
};

void tst_main_form::init()
{
    m_line = std::make_unique<RecordingLine>();
    m_window = std::make_unique<main_form>(*m_line);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_main_form::cleanup()
{
    m_window.reset();
    m_line.reset();
}

void tst_main_form::verifyShown(const main_form &window, const Shown &expected)
{
    const auto *field = window.findChild<QLineEdit *>(QStringLiteral("chuankou_num"));
    QCOMPARE(window.findChild<QPushButton *>(QStringLiteral("open_comm"))->text(), expected.button);
    QCOMPARE(field->isEnabled(), expected.field);
    QCOMPARE(window.findChild<QPushButton *>(QStringLiteral("xihestate"))->isEnabled(),
             expected.relayButtons);
    QCOMPARE(window.findChild<QPushButton *>(QStringLiteral("duankai"))->isEnabled(),
             expected.relayButtons);
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("state"))->isEnabled(), expected.stateLabel);
}

void tst_main_form::openPort(const QString &number)
{
    control<QLineEdit>("chuankou_num")->setText(number);
    click("open_comm");
    verifyShown(*m_window, portOpen);
    m_line->calls.clear();
}

void tst_main_form::startsAsDesigned()
{
    verifyShown(*m_window, portClosed);
    QCOMPARE(control<QLineEdit>("chuankou_num")->text(), QStringLiteral("1"));
    QCOMPARE(control<QLabel>("state")->text(), QStringLiteral("状态未知"));
    const QString caption = QStringLiteral("Vantrelo—串口控制单路继电器板   QQ:");
    QVERIFY(m_window->windowTitle().startsWith(caption));
    QVERIFY(m_window->windowTitle().mid(caption.size()).toULongLong() > 0);
    QCOMPARE(m_window->size(), QSize(421, 221));
    QCOMPARE(m_window->minimumSize(), m_window->maximumSize());
    const Qt::WindowFlags flags = m_window->windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(flags & Qt::WindowSystemMenuHint);
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(!m_window->windowIcon().isNull());
    QVERIFY(m_window->windowIcon().availableSizes().contains(QSize(16, 16)));
    QVERIFY(m_window->windowIcon().availableSizes().contains(QSize(32, 32)));
    // Nothing touches the line until a click asks for it.
    QCOMPARE(m_line->calls, QStringList());

    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QCOMPARE(QApplication::focusWidget(), control<QLineEdit>("chuankou_num"));
    // A screen reader meets a frame named by the caption, not a layout filler.
    QAccessibleInterface *frame = QAccessible::queryAccessibleInterface(m_window.get());
    QCOMPARE(frame->role(), QAccessible::Window);
    QCOMPARE(frame->text(QAccessible::Name), m_window->windowTitle());
}

void tst_main_form::controlsHaveTheirDesign_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<qreal>("points");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<QString>("spoken"); // the name a screen reader says

    QTest::newRow("Label3") << "Label3"
                            << "串口号" << QRect(8, 8, 89, 25) << 15.75 << false << "串口号";
    QTest::newRow("chuankou_num") << "chuankou_num"
                                  << "1" << QRect(112, 8, 33, 25) << 15.75 << false << "串口号";
    QTest::newRow("open_comm") << "open_comm"
                               << "打开串口" << QRect(256, 8, 97, 25) << 15.75 << false
                               << "打开串口";
    QTest::newRow("Label4") << "Label4"
                            << "继电器输出：" << QRect(56, 80, 129, 25) << 15.75 << false
                            << "继电器输出";
    QTest::newRow("state") << "state"
                           << "状态未知" << QRect(224, 80, 129, 25) << 15.75 << false << "状态未知";
    QTest::newRow("xihestate") << "xihestate"
                               << "吸合" << QRect(32, 136, 121, 65) << 26.25 << true << "吸合";
    QTest::newRow("duankai") << "duankai"
                             << "断开" << QRect(224, 136, 121, 65) << 26.25 << true << "断开";
}

void tst_main_form::controlsHaveTheirDesign()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QRect, geometry);
    QFETCH(qreal, points);
    QFETCH(bool, bold);
    QFETCH(QString, spoken);

    auto *widget = m_window->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->property("text").toString(), text);
    QCOMPARE(widget->font().pointSizeF(), points);
    QCOMPARE(widget->font().bold(), bold);
    QCOMPARE(widget->font().families().value(0), QStringLiteral("宋体"));

    if (auto *label = qobject_cast<QLabel *>(widget)) {
        QCOMPARE(label->alignment(), Qt::AlignLeft | Qt::AlignTop);
        QVERIFY(label->autoFillBackground());
        QCOMPARE(label->focusPolicy(), Qt::NoFocus);
    }
    if (qobject_cast<QLabel *>(widget) || qobject_cast<QLineEdit *>(widget)) {
        const QPalette::ColorRole role =
            qobject_cast<QLabel *>(widget) ? QPalette::WindowText : QPalette::Text;
        QCOMPARE(widget->palette().color(QPalette::Active, role), QColor(Qt::black));
        QCOMPARE(widget->palette().color(QPalette::Inactive, role), QColor(Qt::black));
        // Disabled text keeps the style's grey, or a closed port would look live.
        QVERIFY(widget->palette().color(QPalette::Disabled, role) != QColor(Qt::black));
    }
    if (auto *button = qobject_cast<QPushButton *>(widget)) {
        QVERIFY(!button->isDefault());
        QVERIFY(!button->autoDefault());
    }

    // Every text must fit its control at the design's size, or it shows clipped.
    const QFontMetrics metrics(widget->font());
    QVERIFY2(metrics.horizontalAdvance(text) <= geometry.width(), qPrintable(name));
    for (const QChar c : text)
        QVERIFY2(QFontMetrics(widget->font()).inFontUcs4(c.unicode()), qPrintable(name));
    QVERIFY(simplifiedChineseForms(text, widget->font()));

    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(widget);
    QCOMPARE(accessible->text(QAccessible::Name), spoken);
    static const QRegularExpression chinese(QStringLiteral("\\p{Han}"));
    QVERIFY2(accessible->text(QAccessible::Description).contains(chinese), qPrintable(name));
}

void tst_main_form::focusOrder()
{
    QStringList order;
    QWidget *widget = control<QLineEdit>("chuankou_num");
    do {
        if (widget->focusPolicy() & Qt::TabFocus)
            order << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != control<QLineEdit>("chuankou_num"));
    QCOMPARE(order, (QStringList{"chuankou_num", "open_comm", "xihestate", "duankai"}));
}

void tst_main_form::openAndCloseCallTheLineInOrder()
{
    click("open_comm");
    QCOMPARE(m_line->calls, (QStringList{"put CommPort 1", "get PortOpen", "put PortOpen True"}));
    verifyShown(*m_window, portOpen);
    QCOMPARE(control<QLabel>("state")->text(), QStringLiteral("状态未知"));
    QCOMPARE(control<QLineEdit>("chuankou_num")->text(), QStringLiteral("1"));

    m_line->calls.clear();
    click("open_comm");
    QCOMPARE(m_line->calls, (QStringList{"get PortOpen", "put PortOpen False"}));
    verifyShown(*m_window, portClosed);
    QCOMPARE(control<QLabel>("state")->text(), QStringLiteral("状态未知"));
    QCOMPARE(control<QLineEdit>("chuankou_num")->text(), QStringLiteral("1"));
}

void tst_main_form::reopeningUsesTheNewNumber()
{
    openPort();
    click("open_comm");
    m_line->calls.clear();
    control<QLineEdit>("chuankou_num")->setText(QStringLiteral(" 2 "));
    click("open_comm");
    QCOMPARE(m_line->calls, (QStringList{"put CommPort 2", "get PortOpen", "put PortOpen True"}));
    verifyShown(*m_window, portOpen);
}

void tst_main_form::openClickWhenLineAlreadyOpenChangesNothing()
{
    m_line->open = true;
    click("open_comm");
    QCOMPARE(m_line->calls, (QStringList{"put CommPort 1", "get PortOpen"}));
    verifyShown(*m_window, portClosed);
}

void tst_main_form::closeClickWhenLineAlreadyClosedChangesNothing()
{
    openPort();
    m_line->open = false;
    click("open_comm");
    QCOMPARE(m_line->calls, QStringList{"get PortOpen"});
    verifyShown(*m_window, portOpen);
}

void tst_main_form::relayClicks_data()
{
    QTest::addColumn<QStringList>("buttons");
    QTest::addColumn<QStringList>("levels");
    QTest::addColumn<QString>("label");

    QTest::newRow("pull in") << QStringList{"xihestate"} << QStringList{"True"} << "吸合";
    QTest::newRow("release") << QStringList{"duankai"} << QStringList{"False"} << "断开";
    QTest::newRow("pull in twice")
        << QStringList{"xihestate", "xihestate"} << QStringList{"True", "True"} << "吸合";
    QTest::newRow("release twice")
        << QStringList{"duankai", "duankai"} << QStringList{"False", "False"} << "断开";
    QTest::newRow("pull in then release")
        << QStringList{"xihestate", "duankai"} << QStringList{"True", "False"} << "断开";
    QTest::newRow("release then pull in")
        << QStringList{"duankai", "xihestate"} << QStringList{"False", "True"} << "吸合";
}

void tst_main_form::relayClicks()
{
    QFETCH(QStringList, buttons);
    QFETCH(QStringList, levels);
    QFETCH(QString, label);

    openPort();
    QStringList expected;
    for (const QString &level : levels)
        expected << "get PortOpen"
                 << "put RTSEnable " + level;
    for (const QString &button : buttons)
        click(button.toLatin1().constData());
    QCOMPARE(m_line->calls, expected);
    QCOMPARE(m_line->rts, levels.last() == u"True");
    QCOMPARE(control<QLabel>("state")->text(), label);
    // A screen reader reads the label's name, which must follow what it shows, and speaks the
    // window's last notice, the label with its caption.
    QCOMPARE(
        QAccessible::queryAccessibleInterface(control<QLabel>("state"))->text(QAccessible::Name),
        label);
    QAccessibleInterface *frame = QAccessible::queryAccessibleInterface(m_window.get());
    QAccessibleInterface *notice = frame->child(frame->childCount() - 1);
    QCOMPARE(notice->role(), QAccessible::Notification);
    QCOMPARE(notice->text(QAccessible::Name), QStringLiteral("继电器输出：") + label);
    verifyShown(*m_window, portOpen);
}

void tst_main_form::stateLabelIsWrittenBeforeTheLineIsDriven()
{
    openPort();
    QStringList seen;
    m_line->onRts = [&] { seen << control<QLabel>("state")->text(); };
    click("xihestate");
    click("duankai");
    QCOMPARE(seen, (QStringList{"吸合", "断开"}));
}

void tst_main_form::relayClickWithPortClosedSaysSo()
{
    for (const char *button : {"xihestate", "duankai"}) {
        openPort();
        m_line->open = false; // the line reports closed while the buttons are live
        click(button);
        QCOMPARE(m_line->calls, QStringList{"get PortOpen"});
        QCOMPARE(control<QLabel>("state")->text(), QStringLiteral("端口未打开"));
        verifyShown(*m_window, portOpen);
        cleanup();
        init();
    }
}

void tst_main_form::closingAfterPullInResetsTheLabel()
{
    openPort();
    click("xihestate");
    click("open_comm");
    QCOMPARE(control<QLabel>("state")->text(), QStringLiteral("状态未知"));
    verifyShown(*m_window, portClosed);
}

void tst_main_form::failures_data()
{
    QTest::addColumn<QString>("portText");
    QTest::addColumn<QString>("failing"); // which call of the line fails
    QTest::addColumn<QString>("button");  // clicked once the port is open, if not empty
    QTest::addColumn<int>("number");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<bool>("endsOpen");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("advice"); // how the message ends, if not in the line's words
    QTest::addColumn<bool>("retype");    // the focus is back in the port field, text selected

    const QStringList open{"put CommPort 1", "get PortOpen", "put PortOpen True"};
    // Names and descriptions with tags, shown as they are.
    const QString hostPorts = QStringLiteral(
        "本机的串口有：\n1 = /dev/pts/7\n2 = /dev/<h1><font color=red>8</font></h1>");
    QTest::newRow("empty port text") << ""
                                     << ""
                                     << "" << 1101 << QStringList{} << false << "状态未知"
                                     << "" << true;
    QTest::newRow("letters after digits") << "1a"
                                          << ""
                                          << "" << 1102 << QStringList{} << false << "状态未知"
                                          << "" << true;
    QTest::newRow("above 32767") << "32768"
                                 << ""
                                 << "" << 1103 << QStringList{} << false << "状态未知" << hostPorts
                                 << true;
    QTest::newRow("below -32768") << "-40000"
                                  << ""
                                  << "" << 1103 << QStringList{} << false << "状态未知" << hostPorts
                                  << true;
    QTest::newRow("port number refused")
        << "1"
        << "CommPort"
        << "" << 1001 << QStringList{"put CommPort 1"} << false << "状态未知"
        << "" << true;
    QTest::newRow("open refused") << "1"
                                  << "open"
                                  << "" << 13 << open << false << "状态未知"
                                  << "" << true;
    QTest::newRow("pull in refused")
        << "1"
        << "rts"
        << "xihestate" << 5 << QStringList{"get PortOpen", "put RTSEnable True"} << true
        << "状态未知"
        << "" << false;
    QTest::newRow("release refused")
        << "1"
        << "rts"
        << "duankai" << 1004 << QStringList{"get PortOpen", "put RTSEnable False"} << true
        << "状态未知"
        << "" << false;
}

void tst_main_form::failures()
{
    QFETCH(QString, portText);
    QFETCH(QString, failing);
    QFETCH(QString, button);
    QFETCH(int, number);
    QFETCH(QStringList, calls);
    QFETCH(bool, endsOpen);
    QFETCH(QString, label);
    QFETCH(QString, advice);
    QFETCH(bool, retype);

    usePorts(QStringLiteral("/dev/pts/7:/dev/<h1><font color=red>8</font></h1>"));
    const Failure failure{number, QStringLiteral("设备说不：<b>Port already in use</b>")};
    if (failing == u"CommPort")
        m_line->failCommPort = failure;
    else if (failing == u"open")
        m_line->failOpen = failure;
    else if (failing == u"rts")
        m_line->failRts = failure;

    if (!button.isEmpty())
        openPort(portText);
    else
        control<QLineEdit>("chuankou_num")->setText(portText);

    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    auto *clicked = control<QPushButton>(button.isEmpty() ? "open_comm" : qPrintable(button));
    clicked->setFocus();
    MessageCatcher catcher;
    QTest::mouseClick(clicked, Qt::LeftButton);

    QCOMPARE(catcher.texts.size(), 1);
    QVERIFY2(catcher.texts[0].startsWith(QStringLiteral("错误 %1：").arg(number)),
             qPrintable(catcher.texts[0]));
    if (!failing.isEmpty())
        QVERIFY(catcher.texts[0].endsWith(failure.description));
    QVERIFY2(catcher.texts[0].endsWith(advice), qPrintable(catcher.texts[0]));
    QCOMPARE(catcher.formats[0], Qt::PlainText);
    QCOMPARE(catcher.titles[0], messageTitle);
    QCOMPARE(catcher.icons[0], QMessageBox::Critical);
    QCOMPARE(catcher.buttons[0], QStringLiteral("确定"));
    QCOMPARE(m_line->calls, calls);
    QCOMPARE(m_line->open, endsOpen);
    verifyShown(*m_window, endsOpen ? portOpen : portClosed);
    QCOMPARE(control<QLabel>("state")->text(), label);
    QCOMPARE(control<QLineEdit>("chuankou_num")->text(), portText);
    QVERIFY(m_window->isVisible());

    // The next key typed goes where the mistake can be put right, and replaces it.
    auto *field = control<QLineEdit>("chuankou_num");
    QCOMPARE(m_window->focusWidget(), retype ? field : static_cast<QWidget *>(clicked));
    if (retype) {
        // Selected as the window gets the focus back, which the window manager gives it.
        m_window->activateWindow();
        QTRY_COMPARE(field->selectedText(), portText);
        QTest::keyClick(m_window->focusWidget(), Qt::Key_2);
        QCOMPARE(field->text(), QStringLiteral("2"));
    }
}

void tst_main_form::failedCloseStillShowsPortClosed()
{
    openPort();
    click("xihestate");
    m_line->calls.clear();
    m_line->failClose = Failure{5, QStringLiteral("关闭失败")};
    MessageCatcher catcher;
    click("open_comm");
    QCOMPARE(catcher.texts, QStringList{QStringLiteral("错误 5：关闭失败")});
    QCOMPARE(m_line->calls, (QStringList{"get PortOpen", "put PortOpen False"}));
    verifyShown(*m_window, portClosed);
    QCOMPARE(control<QLabel>("state")->text(), QStringLiteral("状态未知"));
}

void tst_main_form::openWorksAfterAFailure()
{
    m_line->failOpen = Failure{16, QStringLiteral("忙")};
    {
        MessageCatcher catcher;
        click("open_comm");
        QCOMPARE(catcher.texts.size(), 1);
    }
    m_line->failOpen.reset();
    m_line->calls.clear();
    click("open_comm");
    QCOMPARE(m_line->calls, (QStringList{"put CommPort 1", "get PortOpen", "put PortOpen True"}));
    verifyShown(*m_window, portOpen);

    // A relay failure leaves the port open, and closing still releases it.
    m_line->failRts = Failure{5, QStringLiteral("拔出")};
    {
        MessageCatcher catcher;
        click("xihestate");
        QCOMPARE(catcher.texts.size(), 1);
    }
    m_line->calls.clear();
    click("open_comm");
    QCOMPARE(m_line->calls, (QStringList{"get PortOpen", "put PortOpen False"}));
    verifyShown(*m_window, portClosed);
}

void tst_main_form::textsStandOutOnAnyScheme_data()
{
    QTest::addColumn<QStringList>("schemes"); // applied in turn while the window is shown

    QTest::newRow("light") << QStringList{"light"};
    QTest::newRow("dark") << QStringList{"dark"};
    QTest::newRow("dark with a white field") << QStringList{"white field"};
    QTest::newRow("dark, then light again") << QStringList{"dark", "light"};
}

void tst_main_form::textsStandOutOnAnyScheme()
{
    QFETCH(QStringList, schemes);

    const QPalette light = QApplication::palette();
    const auto restore = qScopeGuard([light] {
        QApplication::setPalette(light);
        QCoreApplication::processEvents();
    });
    // The colours of qt6ct's "darker" scheme.
    QPalette dark;
    for (const auto &[role, colour] :
         {std::pair{QPalette::Window, 0x222020}, std::pair{QPalette::WindowText, 0xffffff},
          std::pair{QPalette::Base, 0x3d3d3d}, std::pair{QPalette::Text, 0xffffff},
          std::pair{QPalette::Button, 0x424245}, std::pair{QPalette::ButtonText, 0xffffff}})
        dark.setColor(role, QColor::fromRgb(QRgb(colour)));
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text})
        dark.setColor(QPalette::Disabled, role, QColor(0x80, 0x80, 0x80));
    QPalette whiteField = dark;
    whiteField.setColor(QPalette::Base, Qt::white);
    whiteField.setColor(QPalette::Text, Qt::black);
    const QHash<QString, QPalette> palettes{
        {"light", light}, {"dark", dark}, {"white field", whiteField}};
    // Widgets learn of a new palette through posted events.
    for (const QString &scheme : schemes) {
        QApplication::setPalette(palettes[scheme]);
        QCoreApplication::processEvents();
    }

    const std::pair<const char *, QPalette::ColorRole> texts[] = {{"Label3", QPalette::Window},
                                                                  {"Label4", QPalette::Window},
                                                                  {"state", QPalette::Window},
                                                                  {"chuankou_num", QPalette::Base}};
    for (const auto &[name, background] : texts) {
        QWidget *widget = control<QWidget>(name);
        const QPalette::ColorRole text =
            background == QPalette::Base ? QPalette::Text : QPalette::WindowText;
        for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
            const QColor ink = widget->palette().color(group, text);
            const QColor paper = widget->palette().color(group, background);
            const qreal ratio = contrast(ink, paper);
            QVERIFY2(ratio >= 4.5, qPrintable(QStringLiteral("%1: %2 on %3 is %4:1")
                                                  .arg(name, ink.name(), paper.name())
                                                  .arg(ratio, 0, 'f', 1)));
            // The design's black stays wherever it can be read.
            if (contrast(Qt::black, paper) >= contrast(Qt::white, paper))
                QCOMPARE(ink, QColor(Qt::black));
        }
        QCOMPARE(widget->palette().color(QPalette::Disabled, text),
                 QApplication::palette(widget).color(QPalette::Disabled, text));
    }
}

void tst_main_form::popupsSpeakSimplifiedChinese_data()
{
    QTest::addColumn<QString>("surface");

    QTest::newRow("message box") << "message box";
    QTest::newRow("tooltip") << "tooltip";
    QTest::newRow("context menu") << "context menu";
}

void tst_main_form::popupsSpeakSimplifiedChinese()
{
    QFETCH(QString, surface);

    QStringList texts;
    QFont font;
    auto *field = control<QLineEdit>("chuankou_num");
    if (surface == u"message box") {
        field->clear();
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                const auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
                texts << label->text() << box->windowTitle();
                font = label->font();
                box->accept();
            }
        });
        answer.start(5);
        click("open_comm");
    } else if (surface == u"tooltip") {
        QHelpEvent hover(QEvent::ToolTip, QPoint(5, 5), field->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(field, &hover);
        texts << QToolTip::text();
        font = QToolTip::font();
        QToolTip::hideText();
    } else {
        const std::unique_ptr<QMenu> menu(field->createStandardContextMenu());
        for (const QAction *action : menu->actions()) {
            if (!action->isSeparator())
                texts << action->text();
        }
        font = menu->font();
    }

    QVERIFY(!texts.isEmpty());
    static const QRegularExpression chinese(QStringLiteral("\\p{Han}"));
    for (const QString &text : texts) {
        QVERIFY2(text.contains(chinese), qPrintable(text));
        QVERIFY(simplifiedChineseForms(text, font));
    }
}

void tst_main_form::portFieldTooltipListsCurrentPorts()
{
    auto *field = control<QLineEdit>("chuankou_num");
    const auto hover = [field] {
        QHelpEvent event(QEvent::ToolTip, QPoint(5, 5), field->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(field, &event);
        return shownText(QToolTip::text());
    };

    usePorts(QStringLiteral("/dev/pts/7:/dev/serial/by-id/relay"));
    QCOMPARE(hover(), QStringLiteral("本机的串口：\n1 = /dev/pts/7\n2 = /dev/serial/by-id/relay"));
    // Names from outside are text, tags and all.
    for (const QString &name :
         {QStringLiteral("/dev/<h1><font color=red>x</font></h1>"),
          QStringLiteral("rfc2217://[::1]:7001"), QStringLiteral("/dev/R&amp&D  <br>")}) {
        qputenv("VANTRELO_PORTS", name.toUtf8());
        QCOMPARE(hover(), QStringLiteral("本机的串口：\n1 = ") + name);
    }
    // Read when shown: a port that appears later is listed without a restart.
    usePorts(QStringLiteral("/dev/pts/7:/dev/pts/8"));
    QCOMPARE(hover(), QStringLiteral("本机的串口：\n1 = /dev/pts/7\n2 = /dev/pts/8"));
    // The same list from the keyboard, with the What's This key.
    usePorts(QStringLiteral("/dev/pts/9"));
    QTest::keyClick(field, Qt::Key_F1, Qt::ShiftModifier);
    QCOMPARE(shownText(QToolTip::text()), QStringLiteral("本机的串口：\n1 = /dev/pts/9"));
    QVERIFY(QToolTip::isVisible());
    QCOMPARE(field->text(), QStringLiteral("1"));
    // Windows takes an empty variable for none at all, and lists the system's ports.
    if (QSysInfo::productType() != u"windows") {
        qputenv("VANTRELO_PORTS", "");
        QCOMPARE(hover(), QStringLiteral("本机当前没有串口"));
    }

    QToolTip::hideText();
    QVERIFY(field->toolTip().isEmpty());
    QCOMPARE(m_line->calls, QStringList());
}

void tst_main_form::hugePasteIsRefusedBriefly()
{
    // The field takes any text; Qt's default limit would cut a paste at 32767 characters.
    auto *field = control<QLineEdit>("chuankou_num");
    const QString paste(1 << 20, u'9');
    field->setText(paste);
    QCOMPARE(field->text().size(), paste.size());

    MessageCatcher catcher;
    click("open_comm");
    QCOMPARE(catcher.texts.size(), 1);
    QVERIFY(catcher.texts[0].startsWith(QStringLiteral("错误 1103：")));
    QVERIFY(catcher.texts[0].size() < 120);
    QCOMPARE(m_line->calls, QStringList());
    verifyShown(*m_window, portClosed);
}

void tst_main_form::enterPressesTheFocusedButton_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<int>("key");   // Enter is the keypad's
    QTest::addColumn<bool>("held"); // an auto-repeated press
    QTest::addColumn<QStringList>("calls");

    const QStringList open{"put CommPort 1", "get PortOpen", "put PortOpen True"};
    const QStringList close{"get PortOpen", "put PortOpen False"};
    const QStringList pullIn{"get PortOpen", "put RTSEnable True"};
    const QStringList release{"get PortOpen", "put RTSEnable False"};
    for (const auto &[name, isOpen, presses] :
         {std::tuple{"chuankou_num", false, QStringList()}, std::tuple{"open_comm", false, open},
          std::tuple{"open_comm", true, close}, std::tuple{"xihestate", true, pullIn},
          std::tuple{"duankai", true, release}}) {
        for (const auto &[keyName, key, pressed] :
             {std::tuple{"Return", int(Qt::Key_Return), presses},
              std::tuple{"Enter", int(Qt::Key_Enter), presses},
              std::tuple{"Escape", int(Qt::Key_Escape), QStringList()}}) {
            QTest::addRow("%s %s %s", name, isOpen ? "open" : "closed", keyName)
                << QString::fromLatin1(name) << isOpen << key << false << pressed;
        }
    }
    QTest::newRow("held Return on xihestate")
        << "xihestate" << true << int(Qt::Key_Return) << true << QStringList();
}

void tst_main_form::enterPressesTheFocusedButton()
{
    QFETCH(QString, focus);
    QFETCH(bool, portOpen);
    QFETCH(int, key);
    QFETCH(bool, held);
    QFETCH(QStringList, calls);

    if (portOpen)
        openPort();
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    auto *target = m_window->findChild<QWidget *>(focus);
    target->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), target);

    const auto keypad = key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier;
    QKeyEvent press(QEvent::KeyPress, key, keypad, QString(), held);
    QApplication::sendEvent(target, &press);
    // No button is the default: Enter in the port field presses none.
    QCOMPARE(m_line->calls, calls);
    QVERIFY(m_window->isVisible());
    const bool toggled = calls.join(u' ').contains(u"put PortOpen");
    verifyShown(*m_window, portOpen != toggled ? ::portOpen : portClosed);
}

int main(int argc, char *argv[])
{
    // The desktop's language must not decide the glyph forms: test under an English one.
    qputenv("LANG", "en_US.UTF-8");
    qunsetenv("LC_ALL");
    qunsetenv("LC_CTYPE");
    qunsetenv("FC_LANG");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vantrelo-relay"));
    speakChinese(app);
    tst_main_form test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_main_form.moc"
