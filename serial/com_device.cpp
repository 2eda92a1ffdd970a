#include "com_device.h"

#include "com_drivers.h"
#include "com_errors.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include <windows.h>

#include <winioctl.h>

namespace {

// From the driver kit's ntddser.h, which user-mode code cannot include.
constexpr DWORD ioctlSerialGetDtrRts =
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 30, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG serialRtsState = 0x2;

// Windows' own USB CDC driver (usbser) tells the adapter its lines only when DTR is written,
// sending the RTS it noted last: an RTS write alone never leaves the PC. So DTR is written
// after every RTS write, at its level while the port is open, high. Not before: that DTR write
// would send the RTS of the click before. Nor through SetCommState's RTS_CONTROL_ENABLE, which
// Windows' serial driver keeps for the next opening, where it would raise RTS before a click.
BOOL writeRts(HANDLE handle, bool level)
{
    return EscapeCommFunction(handle, level ? SETRTS : CLRRTS) &&
           EscapeCommFunction(handle, SETDTR);
}

// The ports open right now. A program that ends through exit() never destroys the window's
// serial line, and Windows closes the handles without a word to the driver about RTS; these
// are lowered all the same, from a handler that runs before exit() tears down anything else.
class OpenPorts
{
public:
    static OpenPorts &all()
    {
        // Never destroyed: the handler may run after the other statics are gone.
        static OpenPorts *const ports = new OpenPorts;
        return *ports;
    }
    void add(HANDLE handle)
    {
        const std::lock_guard guard(m_mutex);
        m_open.push_back(handle);
        if (!m_hooked)
            m_hooked = std::atexit([] { all().lowerAll(); }) == 0;
    }
    void remove(HANDLE handle)
    {
        const std::lock_guard guard(m_mutex);
        std::erase(m_open, handle);
    }

private:
    void lowerAll()
    {
        const std::lock_guard guard(m_mutex);
        for (const HANDLE handle : m_open)
            writeRts(handle, false);
        m_open.clear();
    }

    std::mutex m_mutex;
    std::vector<HANDLE> m_open;
    bool m_hooked = false;
};

} // namespace

std::unique_ptr<SerialDevice> openSerialDevice(const PortEntry &port)
{
    return std::make_unique<ComDevice>(port.device);
}

ComDevice::ComDevice(const QString &name) : m_name(name)
{
    // The \\.\ form opens COM10 and above, and names that are not COMn, as well as COM1..9.
    const QString path =
        name.startsWith(QStringLiteral("\\\\.\\")) ? name : QStringLiteral("\\\\.\\") + name;
    m_handle = CreateFileW(reinterpret_cast<LPCWSTR>(path.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (m_handle == INVALID_HANDLE_VALUE)
        throw comFailure(GetLastError(), name, LineStep::Opening);

    // Reading the state touches no line; the SetCommState after it is the first call that does.
    DCB state{};
    state.DCBlength = sizeof state;
    if (!GetCommState(m_handle, &state)) {
        const DWORD error = GetLastError();
        CloseHandle(std::exchange(m_handle, INVALID_HANDLE_VALUE));
        throw comFailure(error, name, LineStep::Opening);
    }
    state.BaudRate = CBR_9600;
    state.ByteSize = 8;
    state.Parity = NOPARITY;
    state.StopBits = ONESTOPBIT;
    state.fBinary = TRUE;
    state.fParity = FALSE;
    // No handshake of any kind: with one the driver, not the user, would drive RTS.
    state.fRtsControl = RTS_CONTROL_DISABLE;
    state.fOutxCtsFlow = FALSE;
    state.fOutxDsrFlow = FALSE;
    state.fDsrSensitivity = FALSE;
    state.fOutX = FALSE;
    state.fInX = FALSE;
    // Some drivers hand out equal XON and XOFF characters and then refuse them back.
    state.XonChar = 0x11;
    state.XoffChar = 0x13;
    state.fNull = FALSE;
    state.fErrorChar = FALSE;
    state.fAbortOnError = FALSE;
    // Some boards draw their power from DTR.
    state.fDtrControl = DTR_CONTROL_ENABLE;
    OpenPorts::all().add(m_handle);
    // SetCommState writes DTR, then RTS: a USB CDC adapter hears RTS low only from the write
    // after it.
    if (!SetCommState(m_handle, &state) || !writeRts(m_handle, false)) {
        const DWORD error = GetLastError();
        letGo();
        throw comFailure(error, name, LineStep::Opening);
    }
    if (const long error = confirmRts(false); error != 0) {
        letGo();
        if (error < 0)
            throw levelNotTakenFailure(name, false);
        throw comFailure(DWORD(error), name, LineStep::DrivingRts);
    }
    m_notices = driverNotices(name);
}

ComDevice::~ComDevice()
{
    letGo();
}

void ComDevice::setRts(bool level)
{
    if (!writeRts(m_handle, level))
        throw comFailure(GetLastError(), m_name, LineStep::DrivingRts);
    if (const long error = confirmRts(level); error < 0)
        throw levelNotTakenFailure(m_name, level);
    else if (error > 0)
        throw comFailure(DWORD(error), m_name, LineStep::DrivingRts);
}

long ComDevice::confirmRts(bool level) const
{
    ULONG lines = 0;
    DWORD size = 0;
    if (DeviceIoControl(m_handle, ioctlSerialGetDtrRts, nullptr, 0, &lines, sizeof lines, &size,
                        nullptr))
        return ((lines & serialRtsState) != 0) == level ? 0 : -1;
    // Drivers that cannot report the lines (wine's, some virtual ports') say so; the escape
    // function's success is then all there is to go by.
    const DWORD error = GetLastError();
    if (error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
        error == ERROR_INVALID_FUNCTION)
        return 0;
    return long(error);
}

void ComDevice::close()
{
    const DWORD error = letGo();
    // An unplugged adapter powers no relay: its answer is no news to the user.
    if (error == 0 || comDeviceGone(error))
        return;
    if (error == DWORD(-1))
        throw levelNotTakenAtClosingFailure(m_name);
    throw comFailure(error, m_name, LineStep::Closing);
}

// Lowers RTS and lets go of the port. Returns 0, the Win32 error of the lowering, or -1 when
// the line still reads RTS asserted.
unsigned long ComDevice::letGo()
{
    if (m_handle == INVALID_HANDLE_VALUE)
        return 0;
    // Closing a handle leaves the lines to the driver, which may keep RTS where it was: a relay
    // left pulled in after "关闭串口" is exactly what the user closed the port to avoid.
    DWORD error = 0;
    if (!writeRts(m_handle, false))
        error = GetLastError();
    else if (const long confirmed = confirmRts(false); confirmed != 0)
        error = DWORD(confirmed);
    OpenPorts::all().remove(m_handle);
    CloseHandle(std::exchange(m_handle, INVALID_HANDLE_VALUE));
    return error;
}
