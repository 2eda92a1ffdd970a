#include "network_device.h"

#include "failure.h"
#include "line_errors.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

using namespace std::chrono_literals;

namespace {

// A few seconds at most for any step, so an unreachable server costs a wait, never a hang.
constexpr auto connectWait = 5s;
constexpr auto firstWordsWait = 3s;
constexpr auto answerWait = 2s;
constexpr auto closingWait = 1s;

enum : quint8 { AskRts = 10, RtsOn = 11, RtsOff = 12 };

// What a server said, fit to quote in a message: one line of printable characters, short.
QString quoted(const QByteArray &said)
{
    QString text;
    for (const QChar c : QString::fromUtf8(said).simplified()) {
        if (text.size() >= 80) {
            text += u'…';
            break;
        }
        text += c.isPrint() ? c : QChar(u'?');
    }
    return text;
}

// A wait's length for a message, in whole seconds.
QString secondsOf(std::chrono::milliseconds wait)
{
    return QString::number(std::chrono::duration_cast<std::chrono::seconds>(wait).count());
}

// The devices open right now. A program that ends through exit() (Qt's own when the X server
// goes away, as at logout) never destroys the window's serial line; these ask RTS off all the
// same, from a handler that runs before exit() tears down anything else.
class OpenDevices
{
public:
    static OpenDevices &all()
    {
        // Never destroyed: the handler may run after the other statics are gone.
        static OpenDevices *const devices = new OpenDevices;
        return *devices;
    }
    void add(NetworkDevice *device)
    {
        const std::lock_guard guard(m_mutex);
        m_open.push_back(device);
        if (!m_hooked)
            m_hooked = std::atexit([] { all().lowerAll(); }) == 0;
    }
    void remove(NetworkDevice *device)
    {
        const std::lock_guard guard(m_mutex);
        std::erase(m_open, device);
    }

private:
    void lowerAll()
    {
        const std::lock_guard guard(m_mutex);
        for (NetworkDevice *device : m_open)
            device->lowerAtExit();
        m_open.clear();
    }

    std::mutex m_mutex;
    std::vector<NetworkDevice *> m_open;
    bool m_hooked = false;
};

Failure connectionLost(const QString &shown, bool closing)
{
    if (closing) {
        return {failure_number::ConnectionLost,
                QStringLiteral("与 %1 的连接在关闭前已经断开（服务器停止或网络中断），无法确认 RTS "
                               "已变为低电平。ser2net 断开连接时会恢复它打开串口时的线路状态，"
                               "继电器可能仍处于吸合状态。请检查服务器上的继电器板。")
                    .arg(shown)};
    }
    return {failure_number::ConnectionLost,
            QStringLiteral("与 %1 的连接已经断开（服务器停止或网络中断），继电器状态未知。"
                           "请检查服务器和网络，然后关闭串口再重新打开。")
                .arg(shown)};
}

Failure protocolBroken(const QString &shown, const QString &why)
{
    return {failure_number::ServerBrokeProtocol,
            QStringLiteral("%1 发来的数据不符合 telnet / RFC 2217 协议（%2），本程序不再理会它。"
                           "请检查端口号是否指向 ser2net 的 telnet(rfc2217) 端口。")
                .arg(shown, why)};
}

} // namespace

std::unique_ptr<SerialDevice> openServedDevice(const PortEntry &port)
{
    const std::optional<ServedPort> address = servedPort(port.device);
    if (!address) {
        throw Failure{failure_number::BadServedPort,
                      QStringLiteral("%1 不是有效的网络串口地址。请在 VANTRELO_PORTS 中写作 "
                                     "rfc2217://主机:端口，主机可以是主机名、IPv4 地址或方括号"
                                     "括起的 IPv6 地址，端口为 1 到 65535，例如 "
                                     "rfc2217://lab-pi:7001 或 rfc2217://[::1]:7001。")
                          .arg(port.device)};
    }
    return std::make_unique<NetworkDevice>(*address, port.device);
}

NetworkDevice::NetworkDevice(const ServedPort &address, const QString &shown) : m_shown(shown)
{
    // A server that floods is read in bounded pieces and never fills our memory.
    m_socket.setReadBufferSize(64 * 1024);
    m_socket.connectToHost(address.host, address.port);
    waitUntil(
        [this] {
            return m_socket.state() == QAbstractSocket::ConnectedState ||
                   m_socket.state() == QAbstractSocket::UnconnectedState;
        },
        connectWait);
    if (!connected()) {
        const Failure failure = openingFailure(address);
        m_socket.abort();
        throw failure;
    }
    m_reached = true;
    // Each message is a few bytes and waits for its answer: Nagle's algorithm would hold the
    // next one back until the last was acknowledged, up to 40 ms on Linux.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // ser2net speaks first, offering its options. Until a server has spoken telnet nothing is
    // sent, so a plain TCP port or ser2net's raw mode receives not a single byte.
    waitUntil(
        [this] {
            return !m_protocol.broken().isEmpty() || m_protocol.comPortAccepted() ||
                   m_protocol.comPortRefused() || !connected() ||
                   (!m_protocol.spokeTelnet() && !m_protocol.text().isEmpty());
        },
        firstWordsWait);
    // Asking RTS's state changes no line, and its answer shows the server really serves a
    // port: a second client of ser2net gets "Port already in use" instead.
    if (m_protocol.comPortAccepted() && m_protocol.broken().isEmpty() && connected() &&
        request(AskRts, answerWait).has_value()) {
        OpenDevices::all().add(this);
        return;
    }
    const Failure failure = openingFailure(address);
    m_socket.abort();
    throw failure;
}

NetworkDevice::~NetworkDevice()
{
    letGo();
}

Failure NetworkDevice::openingFailure(const ServedPort &address) const
{
    const QString port = QString::number(address.port);
    if (!m_reached) {
        switch (m_socket.error()) {
        case QAbstractSocket::HostNotFoundError:
            return {failure_number::HostNotFound,
                    QStringLiteral("找不到主机 %1（%2）。请检查主机名是否写对，本机的网络和 DNS "
                                   "是否正常；也可以改用 IP 地址。")
                        .arg(address.host, m_shown)};
        case QAbstractSocket::ConnectionRefusedError:
            return {failure_number::ConnectionRefused,
                    QStringLiteral("%1 拒绝连接：主机 %2 的端口 %3 上没有服务在等待连接。请检查"
                                   "服务器上的 ser2net 是否在运行、端口号是否正确；若 ser2net "
                                   "只在 127.0.0.1 上等待连接，请经 ssh -L 转发后连接本机端口。")
                        .arg(m_shown, address.host, port)};
        case QAbstractSocket::UnknownSocketError:
        case QAbstractSocket::SocketTimeoutError:
            if (m_socket.state() != QAbstractSocket::UnconnectedState ||
                m_socket.error() == QAbstractSocket::SocketTimeoutError)
                return Failure{failure_number::NoAnswer,
                               QStringLiteral("连接 %1 时 %2 秒内没有应答。请检查服务器是否开机、"
                                              "网络是否连通、防火墙是否放行端口 %3。")
                                   .arg(m_shown, secondsOf(connectWait), port)};
            [[fallthrough]];
        default:
            return {failure_number::NetworkFailed,
                    QStringLiteral("连接 %1 失败（%2）。请检查网络连接后再试。")
                        .arg(m_shown, m_socket.errorString())};
        }
    }
    if (!m_protocol.broken().isEmpty())
        return protocolBroken(m_shown, m_protocol.broken());
    const QString said = quoted(m_protocol.text());
    if (m_protocol.text().contains("Port already in use")) {
        return busyFailure(
            m_shown, QStringLiteral("服务器回答“%1”：已有另一个客户端连接着该端口").arg(said));
    }
    if (!connected()) {
        const QString words = said.isEmpty() ? QString() : QStringLiteral("，它说：“%1”").arg(said);
        return {failure_number::ConnectionLost,
                QStringLiteral("%1 的服务器关闭了连接%2。请检查服务器上的 ser2net 和串口设备"
                               "（ser2net 的日志写有原因）。")
                    .arg(m_shown, words)};
    }
    if (!m_protocol.spokeTelnet()) {
        if (said.isEmpty()) {
            return Failure{failure_number::NotComPortServer,
                           QStringLiteral("%1 接受了连接，但 %2 秒内没有按 RFC 2217 应答：它可能是"
                                          "普通的 TCP 端口，或 ser2net 的 raw 模式。本程序没有向它"
                                          "发送任何数据。请把 ser2net 的 accepter 设为 "
                                          "telnet(rfc2217)。")
                               .arg(m_shown, secondsOf(firstWordsWait))};
        }
        return {failure_number::NotComPortServer,
                QStringLiteral("%1 不是 RFC 2217 串口服务器，它发来的是“%2”。本程序没有向它发送"
                               "任何数据。请检查端口号，并把 ser2net 的 accepter 设为 "
                               "telnet(rfc2217)。")
                    .arg(m_shown, said)};
    }
    if (!m_protocol.comPortAccepted()) {
        return {failure_number::NotComPortServer,
                QStringLiteral("%1 使用 telnet，但不提供 RFC 2217 的串口控制（COM-PORT-OPTION）。"
                               "请把 ser2net 的 accepter 设为 telnet(rfc2217)。")
                    .arg(m_shown)};
    }
    return Failure{failure_number::NoAnswer,
                   QStringLiteral("%1 在 %2 秒内没有回答 RTS 状态的询问。请检查服务器上的 ser2net "
                                  "和串口设备后再试。")
                       .arg(m_shown, secondsOf(answerWait))};
}

bool NetworkDevice::connected() const
{
    return m_socket.state() == QAbstractSocket::ConnectedState;
}

bool NetworkDevice::waitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    const QDeadlineTimer deadline(limit);
    for (;;) {
        readAvailable();
        if (done())
            return true;
        if (deadline.hasExpired())
            return false;
        // Not a local event loop: once the program is quitting (a signal, the session's end)
        // Qt returns from any new one at once, and our last words would never be sent.
        QTimer wake;
        wake.start(int(std::clamp<qint64>(deadline.remainingTime(), 0, 50)));
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                        QEventLoop::WaitForMoreEvents);
    }
}

void NetworkDevice::readAvailable()
{
    // Bounded per call, so a flooding server cannot keep us here past a deadline.
    char buffer[4096];
    for (int piece = 0; piece < 16; ++piece) {
        const qint64 size = m_socket.read(buffer, sizeof buffer);
        if (size <= 0)
            break;
        const QByteArray reply = m_protocol.receive(QByteArrayView(buffer, size));
        if (!reply.isEmpty())
            m_socket.write(reply);
    }
}

std::optional<bool> NetworkDevice::request(quint8 value, std::chrono::milliseconds limit)
{
    m_socket.write(m_protocol.setControl(value));
    waitUntil(
        [this] { return m_protocol.answered() || !m_protocol.broken().isEmpty() || !connected(); },
        limit);
    return m_protocol.broken().isEmpty() ? m_protocol.rts() : std::nullopt;
}

void NetworkDevice::setRts(bool level)
{
    // A connection lost since the last click shows now, before anything is sent.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    readAvailable();
    if (!m_protocol.broken().isEmpty())
        throw protocolBroken(m_shown, m_protocol.broken());
    if (!connected())
        throw connectionLost(m_shown, false);
    const std::optional<bool> rts = request(level ? RtsOn : RtsOff, answerWait);
    if (rts == level)
        return;
    if (!m_protocol.broken().isEmpty())
        throw protocolBroken(m_shown, m_protocol.broken());
    if (!connected())
        throw connectionLost(m_shown, false);
    if (!m_protocol.answered()) {
        throw Failure{failure_number::NoAnswer,
                      QStringLiteral("%1 在 %2 秒内没有回答 RTS 的设置，继电器状态未知。请检查网络"
                                     "和服务器，然后关闭串口再重新打开。")
                          .arg(m_shown, secondsOf(answerWait))};
    }
    throw levelNotTakenFailure(m_shown, level);
}

void NetworkDevice::close()
{
    if (const std::optional<Failure> failure = letGo())
        throw *failure;
}

std::optional<Failure> NetworkDevice::letGo()
{
    if (!m_socket.isOpen())
        return std::nullopt;
    OpenDevices::all().remove(this);
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    readAvailable();
    std::optional<Failure> failure;
    if (!connected()) {
        failure = connectionLost(m_shown, true);
    } else {
        // ser2net restores the line as it found it once we go: RTS off first, confirmed.
        const std::optional<bool> rts = request(RtsOff, closingWait);
        if (rts != false)
            failure = connected() ? levelNotTakenAtClosingFailure(m_shown)
                                  : connectionLost(m_shown, true);
        m_socket.disconnectFromHost();
        waitUntil([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; },
                  closingWait);
    }
    m_socket.abort();
    return failure;
}

void NetworkDevice::lowerAtExit()
{
    if (!connected())
        return;
    m_socket.write(m_protocol.setControl(RtsOff));
    m_socket.flush();
}
