// Plays a hostile server to the client side of telnet and the COM-PORT-OPTION: whatever it
// sends, in whatever pieces, the client must not crash, must keep its memory bounded, must
// answer with telnet commands alone (never a byte for the serial device), and must read the
// same stream the same way however it is cut.
#include "rfc2217.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

struct Outcome
{
    QByteArray replies;
    QByteArray text;
    QString broken;
    bool telnet;
    bool accepted;
    bool refused;
    std::optional<bool> rts;
};

// The first byte sets the size of the pieces the rest arrives in, and whether a question is
// outstanding, as after a click.
Outcome play(QByteArrayView stream, qsizetype piece, bool asked)
{
    ComPortClient client;
    if (asked)
        client.setControl(10);
    Outcome outcome;
    for (qsizetype at = 0; at < stream.size(); at += piece)
        outcome.replies += client.receive(stream.sliced(at, std::min(piece, stream.size() - at)));
    outcome.text = client.text();
    outcome.broken = client.broken();
    outcome.telnet = client.spokeTelnet();
    outcome.accepted = client.comPortAccepted();
    outcome.refused = client.comPortRefused();
    outcome.rts = client.rts();
    return outcome;
}

bool onlyNegotiations(const QByteArray &replies)
{
    if (replies.size() % 3 != 0)
        return false;
    for (qsizetype i = 0; i < replies.size(); i += 3) {
        const auto verb = quint8(replies[i + 1]);
        if (quint8(replies[i]) != 255 || verb < 251 || verb == 255)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArrayView stream(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    const qsizetype piece = (data[0] >> 1) + 1;
    const bool asked = data[0] & 1;

    const Outcome whole = play(stream, qMax<qsizetype>(stream.size(), 1), asked);
    const Outcome cut = play(stream, piece, asked);
    // The offer, then one refusal at most per option and direction.
    if (!onlyNegotiations(whole.replies) || whole.replies.size() > 3 * (1 + 512) ||
        whole.text.size() > ComPortClient::keptText)
        std::abort();
    if (whole.replies != cut.replies || whole.text != cut.text || whole.broken != cut.broken ||
        whole.telnet != cut.telnet || whole.accepted != cut.accepted ||
        whole.refused != cut.refused || whole.rts != cut.rts)
        std::abort();
    if (whole.accepted && whole.refused)
        std::abort();

    // The same bytes read as a port's name.
    const QString name = QString::fromUtf8(stream);
    if (const std::optional<ServedPort> port = servedPort(name);
        port && (port->port == 0 || port->host.isEmpty() || !isServedPort(name)))
        std::abort();
    return 0;
}
