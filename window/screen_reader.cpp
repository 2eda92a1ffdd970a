#include "screen_reader.h"

#include <QAccessibleObject>
#include <QAccessibleWidget>
#include <QFontMetrics>
#include <QLineEdit>
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

// A line edit as Qt describes it, but with its text attributes reported as one run over the
// whole text, which is what a line edit has. Qt reports a run of length zero at each offset;
// Orca joins the runs to split the text by language, so the last character falls outside all of
// them: "abc" is read "ab", and "1" not at all.
class FieldAccessible final : public QAccessibleWidget,
                              public QAccessibleTextInterface,
                              public QAccessibleEditableTextInterface
{
public:
    explicit FieldAccessible(QLineEdit *field) : QAccessibleWidget(field, QAccessible::EditableText)
    {}

    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Value ? field()->displayText() : QAccessibleWidget::text(t);
    }
    void setText(QAccessible::Text t, const QString &text) override
    {
        if (t == QAccessible::Value)
            field()->setText(text);
        else
            QAccessibleWidget::setText(t, text);
    }
    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.editable = !field()->isReadOnly();
        state.readOnly = field()->isReadOnly();
        state.selectableText = true;
        return state;
    }
    void *interface_cast(QAccessible::InterfaceType t) override
    {
        if (t == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        if (t == QAccessible::EditableTextInterface)
            return static_cast<QAccessibleEditableTextInterface *>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    QString attributes(int, int *startOffset, int *endOffset) const override
    {
        *startOffset = 0;
        *endOffset = characterCount();
        return {};
    }

    void selection(int index, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = 0;
        if (index == 0 && field()->hasSelectedText()) {
            *startOffset = field()->selectionStart();
            *endOffset = *startOffset + int(field()->selectedText().size());
        }
    }
    int selectionCount() const override { return field()->hasSelectedText() ? 1 : 0; }
    void addSelection(int startOffset, int endOffset) override
    {
        setSelection(0, startOffset, endOffset);
    }
    void removeSelection(int index) override
    {
        if (index == 0)
            field()->deselect();
    }
    void setSelection(int index, int startOffset, int endOffset) override
    {
        if (index == 0)
            field()->setSelection(startOffset, endOffset - startOffset);
    }
    int cursorPosition() const override { return field()->cursorPosition(); }
    void setCursorPosition(int position) override { field()->setCursorPosition(position); }
    QString text(int startOffset, int endOffset) const override
    {
        return startOffset > endOffset
                   ? QString()
                   : field()->displayText().mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return int(field()->displayText().size()); }
    QRect characterRect(int offset) const override
    {
        const QString shown = field()->displayText();
        if (offset < 0 || offset >= shown.size())
            return {};
        // Where the text starts once scrolled is Qt's own; the caret, centred on its place,
        // gives it away.
        const QFontMetrics metrics(field()->font());
        const QRect caret = field()->inputMethodQuery(Qt::ImCursorRectangle).toRect();
        const int x = caret.center().x() + metrics.horizontalAdvance(shown.left(offset)) -
                      metrics.horizontalAdvance(shown.left(field()->cursorPosition()));
        return {field()->mapToGlobal(QPoint(x, caret.top())),
                QSize(metrics.horizontalAdvance(shown.at(offset)), caret.height())};
    }
    int offsetAtPoint(const QPoint &point) const override
    {
        return field()->cursorPositionAt(field()->mapFromGlobal(point));
    }
    void scrollToSubstring(int startIndex, int endIndex) override
    {
        field()->setCursorPosition(endIndex);
        field()->setCursorPosition(startIndex);
    }

    void deleteText(int startOffset, int endOffset) override
    {
        field()->setText(field()->text().remove(startOffset, endOffset - startOffset));
    }
    void insertText(int offset, const QString &text) override
    {
        field()->setText(field()->text().insert(offset, text));
    }
    void replaceText(int startOffset, int endOffset, const QString &text) override
    {
        field()->setText(field()->text().replace(startOffset, endOffset - startOffset, text));
    }

private:
    QLineEdit *field() const { return static_cast<QLineEdit *>(object()); }
};

// Whether Qt's own interface for a line edit reports the zero-length runs above; with a Qt that
// reports whole runs the window's line edits keep its own interface.
bool lineEditRunsAreEmpty()
{
    QLineEdit probe(QStringLiteral("0"));
    QAccessibleInterface *stock = QAccessible::queryAccessibleInterface(&probe);
    QAccessibleTextInterface *text = stock ? stock->textInterface() : nullptr;
    int start = 0;
    int end = 0;
    if (text)
        text->attributes(0, &start, &end);
    return text && end <= start;
}

bool fieldNeedsRuns = false; // found once, before the factory below is installed

QAccessibleInterface *windowFactory(const QString &, QObject *object)
{
    if (!object->isWidgetType())
        return nullptr;
    auto *widget = static_cast<QWidget *>(object);
    if (widget->property(frameMark).toBool())
        return new FrameAccessible(widget);
    auto *field = qobject_cast<QLineEdit *>(widget);
    if (field && fieldNeedsRuns && widget->window()->property(frameMark).toBool())
        return new FieldAccessible(field);
    return nullptr;
}

} // namespace

ScreenReaderNotice::ScreenReaderNotice(QWidget *window) : m_window(window)
{
    [[maybe_unused]] static const bool installed = [] {
        fieldNeedsRuns = lineEditRunsAreEmpty();
        QAccessible::installFactory(windowFactory);
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
