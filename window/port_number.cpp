#include "port_number.h"

#include "failure.h"

namespace {

// Chinese input methods in full-width mode type U+3000 for a space and U+FF10.. for digits.
bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == QChar(0x3000);
}

int digitValue(QChar c)
{
    if (c >= u'0' && c <= u'9')
        return c.unicode() - u'0';
    if (c.unicode() >= 0xFF10 && c.unicode() <= 0xFF19)
        return c.unicode() - 0xFF10;
    return -1;
}

// The field takes any paste; a message quoting a megabyte of it helps no one.
QString quoted(QStringView text)
{
    constexpr qsizetype shown = 24;
    if (text.size() <= shown)
        return text.toString();
    return text.first(shown).toString() + QStringLiteral("…");
}

} // namespace

qint16 toPortNumber(const QString &text)
{
    QStringView rest(text);
    while (!rest.isEmpty() && isBlank(rest.front()))
        rest = rest.sliced(1);
    while (!rest.isEmpty() && isBlank(rest.back()))
        rest.chop(1);

    if (rest.isEmpty()) {
        throw Failure{failure_number::PortNumberEmpty,
                      QStringLiteral("请在“串口号”中输入串口的编号，例如 1。")};
    }

    const QStringView number = rest;
    bool negative = false;
    if (const QChar sign = rest.front(); sign == u'+' || sign == QChar(0xFF0B)) {
        rest = rest.sliced(1);
    } else if (sign == u'-' || sign == QChar(0xFF0D)) {
        negative = true;
        rest = rest.sliced(1);
    }

    // Saturates instead of overflowing, so any run of digits gives a definite answer.
    constexpr qint64 limit = 32768;
    qint64 magnitude = 0;
    for (const QChar c : rest) {
        const int digit = digitValue(c);
        if (digit < 0) {
            magnitude = -1;
            break;
        }
        magnitude = qMin(magnitude * 10 + digit, limit + 1);
    }
    if (rest.isEmpty() || magnitude < 0) {
        throw Failure{
            failure_number::PortNumberNotInteger,
            QStringLiteral("“%1”不是有效的串口号。请输入整数，例如 1。").arg(quoted(number))};
    }

    const qint64 value = negative ? -magnitude : magnitude;
    if (value < -limit || value > limit - 1) {
        throw Failure{failure_number::PortNumberOutOfRange,
                      QStringLiteral("串口号 %1 超出范围，本机没有这个串口。").arg(quoted(number))};
    }
    return static_cast<qint16>(value);
}
