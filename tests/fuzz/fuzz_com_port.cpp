// Plays a hostile server to the client side of telnet and the COM-PORT-OPTION: whatever it
// sends, in whatever pieces, the client must not crash, must keep its memory bounded, must
// answer with telnet negotiations alone (never a byte for the serial device), and must read
// the same stream the same way however it is cut.
#include "rfc2217.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

// All the client makes of `stream` arriving in pieces of `piece` bytes; its replies first.
QByteArray play(QByteArrayView stream, qsizetype piece, bool asked)
{
    ComPortClient client;
    if (asked) // as after a click, an answer is owed
        client.setControl(10);
    QByteArray replies;
    for (qsizetype at = 0; at < stream.size(); at += piece)
        replies += client.receive(stream.sliced(at, std::min(piece, stream.size() - at)));
    // The offer, then one refusal at most per option and direction, each IAC, verb, option.
    if (replies.size() % 3 != 0 || replies.size() > 3 * (1 + 512) ||
        client.text().size() > ComPortClient::keptText ||
        (client.comPortAccepted() && client.comPortRefused()))
        std::abort();
    for (qsizetype i = 0; i < replies.size(); i += 3) {
        if (quint8(replies[i]) != 255 || quint8(replies[i + 1]) < 251 ||
            quint8(replies[i + 1]) > 254)
            std::abort();
    }
    const std::optional<bool> rts = client.rts();
    return replies + '|' + client.text() + '|' + client.broken().toUtf8() + '|' +
           char('0' + client.spokeTelnet() + 2 * client.comPortAccepted() +
                4 * client.comPortRefused() + 8 * rts.has_value() + 16 * rts.value_or(false));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte sets the pieces the rest arrives in, and whether an answer is owed.
    const QByteArrayView stream(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    const bool asked = data[0] & 1;
    if (play(stream, std::max<qsizetype>(stream.size(), 1), asked) !=
        play(stream, (data[0] >> 1) + 1, asked))
        std::abort();

    // The same bytes read as a port's name.
    const QString name = QString::fromUtf8(stream);
    if (const std::optional<ServedPort> port = servedPort(name);
        port && (port->port == 0 || port->host.isEmpty() || !isServedPort(name)))
        std::abort();
    return 0;
}
