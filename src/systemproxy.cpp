#include "systemproxy.h"

#include <cstdlib>
#include <map>
#include <mutex>

#ifdef _WIN32
#include <shlwapi.h>
#include <windows.h>
#include <winhttp.h>

#include <cwchar>
#endif

namespace transport {

namespace {

#ifdef _WIN32

const DWORD stepMs = 1500;

// Whether host matches one entry of an Internet Options bypass list ("*.corp;10.*;<local>").
bool bypassed(const WCHAR* list, const WCHAR* host)
{
    while (list && *list) {
        const size_t length = wcscspn(list, L"; ");
        if (length > 0 && length < 256) {
            const std::wstring entry(list, length);
            if (_wcsicmp(entry.c_str(), L"<local>") == 0 ? wcschr(host, L'.') == nullptr
                                                         : PathMatchSpecW(host, entry.c_str()))
                return true;
        }
        list += length;
        list += wcsspn(list, L"; ");
    }
    return false;
}

// The first proxy of a list for scheme: "host:port", or "http=host:port;https=host:port".
std::string pickProxy(const WCHAR* list, const char* scheme)
{
    while (list && *list) {
        const size_t length = wcscspn(list, L"; ");
        char entry[512];
        const int bytes = WideCharToMultiByte(
            CP_UTF8, 0, list, int(length), entry, int(sizeof entry) - 1, nullptr, nullptr);
        if (bytes > 0) {
            const std::string text(entry, size_t(bytes));
            const size_t equals = text.find('=');
            if (equals == std::string::npos)
                return text;
            if (_stricmp(text.substr(0, equals).c_str(), scheme) == 0)
                return text.substr(equals + 1);
        }
        list += length;
        list += wcsspn(list, L"; ");
    }
    return {};
}

std::string askWindows(const std::string& url)
{
    for (const char* variable :
        {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        const char* value = std::getenv(variable);
        if (value && *value)
            return {}; // libcurl takes it
    }
    const char* scheme = url.compare(0, 6, "https:") == 0 ? "https" : "http";
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie {};
    WCHAR wideUrl[2048];
    if (!WinHttpGetIEProxyConfigForCurrentUser(&ie)
        || !MultiByteToWideChar(CP_UTF8, 0, url.c_str(), -1, wideUrl, 2048))
        return {};
    std::string proxy;
    bool scripted = false;
    if (ie.fAutoDetect || ie.lpszAutoConfigUrl) {
        WINHTTP_AUTOPROXY_OPTIONS options {};
        options.dwFlags = ie.lpszAutoConfigUrl ? WINHTTP_AUTOPROXY_CONFIG_URL : 0;
        if (ie.fAutoDetect) {
            options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
            options.dwAutoDetectFlags
                = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        }
        options.lpszAutoConfigUrl = ie.lpszAutoConfigUrl;
        options.fAutoLogonIfChallenged = FALSE; // no credentials, not even to fetch the script
        HINTERNET session = WinHttpOpen(L"TavrixUpdater/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY,
            WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        // A script that does not come must leave time for the fetch itself.
        if (session)
            WinHttpSetTimeouts(session, stepMs, stepMs, stepMs, stepMs);
        WINHTTP_PROXY_INFO info {};
        // A script that answers is the whole answer, a direct connection included.
        if (session && WinHttpGetProxyForUrl(session, wideUrl, &options, &info)) {
            scripted = true;
            if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY)
                proxy = pickProxy(info.lpszProxy, scheme);
            GlobalFree(info.lpszProxy);
            GlobalFree(info.lpszProxyBypass);
        }
        if (session)
            WinHttpCloseHandle(session);
    }
    URL_COMPONENTSW parts {};
    WCHAR host[256];
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    if (!scripted && ie.lpszProxy && WinHttpCrackUrl(wideUrl, 0, 0, &parts)
        && !bypassed(ie.lpszProxyBypass, host))
        proxy = pickProxy(ie.lpszProxy, scheme);
    GlobalFree(ie.lpszProxy);
    GlobalFree(ie.lpszProxyBypass);
    GlobalFree(ie.lpszAutoConfigUrl);
    return proxy;
}

// "https://host:port" of url: the proxy may differ per scheme and host, not per path.
std::string origin(const std::string& url)
{
    const size_t start = url.find("://");
    if (start == std::string::npos)
        return url;
    return url.substr(0, url.find_first_of("/?#", start + 3));
}

#endif

} // namespace

std::string systemProxy(const std::string& url)
{
#ifdef _WIN32
    static std::mutex mutex;
    static std::map<std::string, std::string> known;
    const std::lock_guard<std::mutex> lock(mutex);
    const std::string key = origin(url);
    const auto found = known.find(key);
    return found != known.end() ? found->second : known[key] = askWindows(url);
#else
    (void)url;
    return {};
#endif
}

} // namespace transport
