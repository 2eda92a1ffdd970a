// Throws arbitrary text at the port-number conversion and checks each answer against a plain
// reference: the conversion must never crash, hang, or disagree about what is a number.
#include "failure.h"
#include "port_number.h"

#include <QRegularExpression>
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Folds the full-width forms onto ASCII, then leans on QString::toLongLong.
int referenceFailure(const QString &text, qint64 &value)
{
    QString folded;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0xFF10 && u <= 0xFF19)
            folded += QChar(u'0' + (u - 0xFF10));
        else if (u == 0xFF0B)
            folded += u'+';
        else if (u == 0xFF0D)
            folded += u'-';
        else if (u == 0x3000 || u == u'\t')
            folded += u' ';
        else
            folded += c;
    }
    static const QRegularExpression blanks(QStringLiteral("\\A +| +\\z"));
    folded.remove(blanks);
    if (folded.isEmpty())
        return failure_number::PortNumberEmpty;
    static const QRegularExpression integer(QStringLiteral("\\A[+-]?[0-9]+\\z"));
    if (!integer.match(folded).hasMatch())
        return failure_number::PortNumberNotInteger;
    bool ok = false;
    value = folded.toLongLong(&ok);
    if (!ok || value < -32768 || value > 32767)
        return failure_number::PortNumberOutOfRange;
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks the encoding, so the fuzzer reaches the full-width forms as easily
    // as ASCII.
    QString text;
    if (data[0] & 1) {
        const size_t units = (size - 1) / 2;
        text.resize(static_cast<qsizetype>(units));
        std::memcpy(text.data(), data + 1, units * 2);
    } else {
        text = QString::fromUtf8(reinterpret_cast<const char *>(data + 1),
                                 static_cast<qsizetype>(size - 1));
    }

    qint64 expected = 0;
    const int expectedFailure = referenceFailure(text, expected);
    try {
        const qint16 value = toPortNumber(text);
        if (expectedFailure != 0 || value != expected)
            std::abort();
    } catch (const Failure &failure) {
        if (failure.number != expectedFailure || failure.description.isEmpty() ||
            failure.description.size() > 200)
            std::abort();
    }
    return 0;
}
