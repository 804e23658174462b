#ifndef TESTSUPPORT_PROXYSETTING_H
#define TESTSUPPORT_PROXYSETTING_H

#include <QByteArray>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

// The proxy the system names, for as long as this lives: on Windows the binary value of Internet
// Options that WinHTTP reads (the suites share one Wine prefix, so it is put back), elsewhere
// http_proxy and https_proxy.
class SystemProxy
{
public:
    explicit SystemProxy(const QByteArray& hostPort)
    {
#ifdef Q_OS_WIN
        RegCreateKeyExW(
            HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &settings, nullptr);
        DWORD size = 0;
        if (RegQueryValueExW(settings, value, nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
            previous.resize(int(size));
            RegQueryValueExW(
                settings, value, nullptr, nullptr, reinterpret_cast<BYTE*>(previous.data()), &size);
        }
        // Version, counter, flags (direct and proxy), then the proxy, the bypass list and the
        // script address, each after its length.
        QByteArray connection;
        const auto add = [&](quint32 word) {
            connection.append(reinterpret_cast<const char*>(&word), sizeof word);
        };
        add(0x46), add(0), add(3), add(hostPort.size());
        connection += hostPort;
        add(0), add(0);
        connection += QByteArray(32, '\0');
        RegSetValueExW(settings, value, 0, REG_BINARY,
            reinterpret_cast<const BYTE*>(connection.constData()), DWORD(connection.size()));
#else
        qputenv("http_proxy", "http://" + hostPort);
        qputenv("https_proxy", "http://" + hostPort);
#endif
    }
    ~SystemProxy()
    {
#ifdef Q_OS_WIN
        if (previous.isNull())
            RegDeleteValueW(settings, value);
        else
            RegSetValueExW(settings, value, 0, REG_BINARY,
                reinterpret_cast<const BYTE*>(previous.constData()), DWORD(previous.size()));
        RegCloseKey(settings);
#else
        qputenv("http_proxy", previous);
        qputenv("https_proxy", previousHttps);
#endif
    }

private:
#ifdef Q_OS_WIN
    const wchar_t* key
        = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
    const wchar_t* value = L"DefaultConnectionSettings";
    HKEY settings = nullptr;
    QByteArray previous;
#else
    const QByteArray previous = qgetenv("http_proxy"), previousHttps = qgetenv("https_proxy");
#endif
};

#endif // TESTSUPPORT_PROXYSETTING_H
