#include "screen_reader.h"

#include <QAccessibleObject>
#include <QAccessibleWidget>
#include <QWidget>

namespace {

const QLatin1String noticeName("screen_reader_notice");
const char *const frameMark = "screen_reader_frame";

QObject *currentNotice(const QObject *window)
{
    return window->findChild<QObject *>(noticeName, Qt::FindDirectChildrenOnly);
}

// Screen readers speak changes of the focused control only, and Qt 6.4 hands them the changed
// object instead of its new name, so a label's change is lost either way. What they do speak
// unasked is a notification that shows: Orca reads its role and name from the object itself.
// It has no place on screen. Screen readers keep a name once read, so each message is a new
// object rather than a new name: that is one event per message, and nothing stale.
class NoticeAccessible final : public QAccessibleObject
{
public:
    explicit NoticeAccessible(QObject *notice) : QAccessibleObject(notice) {}

    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? object()->property("text").toString() : QString();
    }
    void setText(QAccessible::Text, const QString &) override {}
    QAccessible::Role role() const override { return QAccessible::Notification; }
    QAccessible::State state() const override { return {}; }
    QAccessibleInterface *parent() const override
    {
        return QAccessible::queryAccessibleInterface(object()->parent());
    }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
};

// Qt gives a top-level QWidget the role of a plain client area, which AT-SPI calls a filler and
// screen readers pass over as layout. Its name is the caption, as for any window.
class FrameAccessible final : public QAccessibleWidget
{
public:
    explicit FrameAccessible(QWidget *window) : QAccessibleWidget(window, QAccessible::Window) {}

    int childCount() const override
    {
        return QAccessibleWidget::childCount() + (currentNotice(object()) ? 1 : 0);
    }
    QAccessibleInterface *child(int index) const override
    {
        const int widgets = QAccessibleWidget::childCount();
        if (index < widgets)
            return QAccessibleWidget::child(index);
        QObject *notice = currentNotice(object());
        return index == widgets && notice ? QAccessible::queryAccessibleInterface(notice) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        if (child && child->object() && child->object() == currentNotice(object()))
            return QAccessibleWidget::childCount();
        return QAccessibleWidget::indexOfChild(child);
    }
};

QAccessibleInterface *frameFactory(const QString &, QObject *object)
{
    if (!object->isWidgetType() || !object->property(frameMark).toBool())
        return nullptr;
    return new FrameAccessible(static_cast<QWidget *>(object));
}

} // namespace

ScreenReaderNotice::ScreenReaderNotice(QWidget *window) : m_window(window)
{
    [[maybe_unused]] static const bool installed = [] {
        QAccessible::installFactory(frameFactory);
        return true;
    }();
    window->setProperty(frameMark, true);
}

void ScreenReaderNotice::say(const QString &text)
{
    delete currentNotice(m_window);
    auto *notice = new QObject(m_window);
    notice->setObjectName(noticeName);
    notice->setProperty("text", text);
    // Qt's cache owns the interface and drops it with the object.
    QAccessible::registerAccessibleInterface(new NoticeAccessible(notice));
    QAccessibleEvent shown(notice, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
}
