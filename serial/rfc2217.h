#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <bitset>
#include <optional>

// A serial port another machine serves over the network (ser2net and the like), named in the
// port list as rfc2217://HOST:PORT.
struct ServedPort
{
    QString host; // a name, an IPv4 address or an IPv6 address without its brackets
    quint16 port = 0;
};

// Whether `device` is written as a served port rather than as a device of this machine.
bool isServedPort(const QString &device);

// HOST and PORT of `device`; none when it is not rfc2217://HOST:PORT with a usable host and a
// port from 1 to 65535.
std::optional<ServedPort> servedPort(const QString &device);

// The client's half of telnet with the COM-PORT-OPTION, kept apart from the socket so that
// every byte a server may send can be thrown at it. It reads the server's bytes with bounded
// memory, answers each negotiation at most once per option (refusing all but the
// COM-PORT-OPTION), and hands out nothing but telnet commands: never a byte of serial data.
class ComPortClient
{
public:
    // The longest subnegotiation taken; ser2net's longest is its signature text.
    static constexpr qsizetype longestSubnegotiation = 256;
    // What is kept of the plain bytes a server sends: enough to quote it in a message.
    static constexpr qsizetype keptText = 200;

    // Reads what the server sent and returns what to send back, possibly nothing. Once the
    // server has broken the protocol, reads nothing more.
    QByteArray receive(QByteArrayView bytes);

    // Asks the server to set the control lines (11 RTS on, 12 RTS off) or to tell RTS's state
    // (10); returns the bytes to send.
    QByteArray setControl(quint8 value);

    // The server has spoken telnet, so it is no plain TCP port and our offer went out.
    bool spokeTelnet() const { return m_offered; }
    // The server took the COM-PORT-OPTION (DO), or turned it down (DONT).
    bool comPortAccepted() const { return m_accepted; }
    bool comPortRefused() const { return m_refused; }
    // Every SET-CONTROL sent has had its answer.
    bool answered() const { return m_pending == 0; }
    // RTS as the last answer to a SET-CONTROL says it is: true for 11, false for 12, none for
    // any other value or while answers are still owed.
    std::optional<bool> rts() const { return m_pending == 0 ? m_rts : std::nullopt; }
    // The start of what the server sent outside telnet commands ("Port already in use").
    QByteArray text() const { return m_text; }
    // Why the server's bytes were refused; empty while they make sense.
    QString broken() const { return m_broken; }

private:
    enum class State { Data, Command, Option, Sub, SubCommand };

    void command(quint8 byte, QByteArray &reply);
    void negotiation(quint8 verb, quint8 option, QByteArray &reply);
    void subnegotiation();

    State m_state = State::Data;
    quint8 m_verb = 0;
    QByteArray m_sub;
    QByteArray m_text;
    QString m_broken;
    std::bitset<512> m_answered; // DO, then WILL, by option
    bool m_offered = false;
    bool m_accepted = false;
    bool m_refused = false;
    int m_pending = 0;
    std::optional<bool> m_rts;
};
