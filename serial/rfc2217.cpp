#include "rfc2217.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace {

const QString scheme = QStringLiteral("rfc2217://");

// Telnet's command bytes, and the COM-PORT-OPTION with its SET-CONTROL command; a server
// answers a command with the command's number plus 100.
enum : quint8 {
    SE = 240,
    SB = 250,
    WILL = 251,
    WONT = 252,
    DO = 253,
    DONT = 254,
    IAC = 255,
    ComPortOption = 44,
    SetControl = 5,
    ServerOffset = 100,
    RtsOn = 11,
    RtsOff = 12,
};

QByteArray telnetCommand(quint8 verb, quint8 option)
{
    const char bytes[] = {char(IAC), char(verb), char(option)};
    return QByteArray(bytes, sizeof bytes);
}

} // namespace

bool isServedPort(const QString &device)
{
    return device.startsWith(scheme, Qt::CaseInsensitive);
}

std::optional<ServedPort> servedPort(const QString &device)
{
    if (!isServedPort(device))
        return std::nullopt;
    // A name as DNS spells it (an IPv4 address is one too), or an IPv6 address in brackets.
    static const QRegularExpression form(
        QStringLiteral("\\A(?:\\[([0-9A-Fa-f:.]+)\\]|([A-Za-z0-9]([A-Za-z0-9._-]{0,252}))):"
                       "([0-9]{1,5})\\z"));
    const QRegularExpressionMatch match = form.match(device.mid(scheme.size()));
    if (!match.hasMatch())
        return std::nullopt;
    const uint port = match.captured(4).toUInt();
    if (port < 1 || port > 65535)
        return std::nullopt;
    QString host = match.captured(2);
    if (host.isEmpty()) {
        host = match.captured(1);
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
    }
    return ServedPort{host, quint16(port)};
}

QByteArray ComPortClient::receive(QByteArrayView bytes)
{
    QByteArray reply;
    for (const char c : bytes) {
        if (!m_broken.isEmpty())
            break;
        const auto byte = quint8(c);
        switch (m_state) {
        case State::Data:
            if (byte == IAC)
                m_state = State::Command;
            else if (m_text.size() < keptText)
                m_text.append(c);
            break;
        case State::Command:
            command(byte, reply);
            break;
        case State::Option:
            m_state = State::Data;
            negotiation(m_verb, byte, reply);
            break;
        case State::Sub:
            if (byte == IAC)
                m_state = State::SubCommand;
            else if (m_sub.size() < longestSubnegotiation)
                m_sub.append(c);
            else
                m_broken = QStringLiteral("子协商超过 %1 字节").arg(longestSubnegotiation);
            break;
        case State::SubCommand:
            if (byte == IAC && m_sub.size() < longestSubnegotiation) {
                m_sub.append(c);
                m_state = State::Sub;
            } else if (byte == SE) {
                m_state = State::Data;
                subnegotiation();
            } else {
                m_broken = QStringLiteral("子协商中出现了命令 %1").arg(byte);
            }
            break;
        }
    }
    return reply;
}

void ComPortClient::command(quint8 byte, QByteArray &reply)
{
    m_state = State::Data;
    if (byte == IAC) { // an escaped data byte
        if (m_text.size() < keptText)
            m_text.append(char(byte));
        return;
    }
    if (byte < SE) {
        m_broken = QStringLiteral("未知的 telnet 命令 %1").arg(byte);
        return;
    }
    if (byte == SE) {
        m_broken = QStringLiteral("子协商之外出现了结束命令");
        return;
    }
    // Only a server that speaks telnet gets our offer: a plain TCP port, or ser2net in raw
    // mode, would pass the offer's bytes on to the serial device as data.
    if (!m_offered) {
        m_offered = true;
        reply += telnetCommand(WILL, ComPortOption);
    }
    if (byte >= WILL && byte <= DONT) {
        m_verb = byte;
        m_state = State::Option;
    } else if (byte == SB) {
        m_sub.clear();
        m_state = State::Sub;
    }
    // The rest (NOP, GA, AYT and the like) ask nothing of a client that sends no data.
}

void ComPortClient::negotiation(quint8 verb, quint8 option, QByteArray &reply)
{
    if (option == ComPortOption && (verb == DO || verb == DONT)) {
        m_accepted = verb == DO;
        m_refused = verb == DONT;
        return;
    }
    // Each refusal goes out once per option: a server that keeps asking gets no answer loop.
    const bool asksUs = verb == DO;
    const size_t slot = (asksUs ? 0 : 256) + option;
    if ((verb == DO || verb == WILL) && !m_answered[slot]) {
        m_answered[slot] = true;
        reply += telnetCommand(asksUs ? WONT : DONT, option);
    }
}

void ComPortClient::subnegotiation()
{
    if (m_sub.size() < 2 || quint8(m_sub[0]) != ComPortOption)
        return; // other options' business, or nothing to read
    if (quint8(m_sub[1]) != SetControl + ServerOffset)
        return; // modem and line state notices, signatures: nothing this program acts on
    if (m_sub.size() != 3) {
        m_broken = QStringLiteral("SET-CONTROL 的回答长度为 %1 字节").arg(m_sub.size() - 2);
        return;
    }
    // An answer nobody asked for is not taken for the answer to the next question.
    if (m_pending == 0)
        return;
    --m_pending;
    const auto value = quint8(m_sub[2]);
    m_rts = value == RtsOn    ? std::optional(true)
            : value == RtsOff ? std::optional(false)
                              : std::nullopt;
}

QByteArray ComPortClient::setControl(quint8 value)
{
    ++m_pending;
    m_rts.reset();
    const char bytes[] = {char(IAC), char(SB), char(ComPortOption), char(SetControl), char(value),
                          char(IAC), char(SE)};
    return QByteArray(bytes, sizeof bytes);
}
