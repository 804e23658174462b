/*
 * updateCurl.exe URL
 *
 * Fetches URL with a plain GET (http and https only, at most 5 redirects) and
 * writes the response body, unchanged, to standard output. Nothing is written
 * to standard output unless the whole transfer succeeded with a 2xx status,
 * so a caller never mistakes an error page or a truncated body for content.
 * Gives up by itself before the updater's own 10 second bound. Goes through
 * the proxy the environment names (http_proxy and the like) or, on Windows
 * without those, the one Internet Options name (a PAC script and WPAD
 * included).
 *
 * Exit codes: 0 success, 1 any failure (reason on one line of standard
 * error), 2 wrong usage.
 */
#include <curl/curl.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <shlwapi.h>
#include <windows.h>
#include <winhttp.h>
#endif

#define TOTAL_TIMEOUT_MS 8500L
#define CONNECT_TIMEOUT_MS 5000L
#define MAX_REDIRECTS 5L
#define MAX_BODY_BYTES ((size_t)64 * 1024 * 1024)
#define PROXY_STEP_MS 1500

struct Body
{
    char* data;
    size_t size;
    size_t capacity;
    int tooLarge;
    int outOfMemory;
};

static size_t collect(char* ptr, size_t size, size_t nmemb, void* userdata)
{
    struct Body* body = (struct Body*)userdata;
    size_t n = size * nmemb;

    if (n > MAX_BODY_BYTES - body->size) {
        body->tooLarge = 1;
        return 0;
    }
    if (body->size + n > body->capacity) {
        size_t capacity = body->capacity ? body->capacity : 64 * 1024;
        char* grown;
        while (capacity < body->size + n)
            capacity *= 2;
        if (capacity > MAX_BODY_BYTES)
            capacity = MAX_BODY_BYTES;
        grown = (char*)realloc(body->data, capacity);
        if (!grown) {
            body->outOfMemory = 1;
            return 0;
        }
        body->data = grown;
        body->capacity = capacity;
    }
    if (n > 0)
        memcpy(body->data + body->size, ptr, n);
    body->size += n;
    return n;
}

/* Keeps the reason to a single line whatever libcurl put in it. */
static void fail(const char* reason)
{
    char line[CURL_ERROR_SIZE + 64];
    size_t i;
    snprintf(line, sizeof line, "%s", reason);
    for (i = 0; line[i]; ++i) {
        if (line[i] == '\n' || line[i] == '\r')
            line[i] = ' ';
    }
    fprintf(stderr, "updateCurl: %s\n", line);
    fflush(stderr);
}

#ifdef _WIN32
/* Whether host matches one entry of an Internet Options bypass list ("*.corp;10.*;<local>"). */
static int bypassed(const WCHAR* list, const WCHAR* host)
{
    WCHAR entry[256];
    size_t length;
    while (list && *list) {
        length = wcscspn(list, L"; ");
        if (length > 0 && length < 256) {
            wcsncpy(entry, list, length);
            entry[length] = L'\0';
            if (_wcsicmp(entry, L"<local>") == 0 ? wcschr(host, L'.') == NULL
                                                 : PathMatchSpecW(host, entry))
                return 1;
        }
        list += length;
        list += wcsspn(list, L"; ");
    }
    return 0;
}

/* The first proxy of a list for scheme: "host:port", or "http=host:port;https=host:port". */
static char* pickProxy(const WCHAR* list, const char* scheme)
{
    char entry[512];
    char* value;
    size_t length;
    int bytes;
    while (list && *list) {
        length = wcscspn(list, L"; ");
        bytes = WideCharToMultiByte(
            CP_UTF8, 0, list, (int)length, entry, (int)sizeof entry - 1, NULL, NULL);
        if (bytes > 0) {
            entry[bytes] = '\0';
            value = strchr(entry, '=');
            if (!value)
                return _strdup(entry);
            *value = '\0';
            if (_stricmp(entry, scheme) == 0)
                return _strdup(value + 1);
        }
        list += length;
        list += wcsspn(list, L"; ");
    }
    return NULL;
}

/* The proxy the system names for url (NULL: none, or the environment names one for curl). */
static char* systemProxy(const char* url)
{
    static const char* const variables[]
        = {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie;
    WINHTTP_AUTOPROXY_OPTIONS options;
    WINHTTP_PROXY_INFO info;
    URL_COMPONENTSW parts;
    WCHAR wideUrl[2048];
    WCHAR host[256];
    HINTERNET session;
    char* proxy = NULL;
    const char* scheme = strncmp(url, "https:", 6) == 0 ? "https" : "http";
    size_t i;

    for (i = 0; i < sizeof variables / sizeof *variables; ++i) {
        if (getenv(variables[i]) && *getenv(variables[i]))
            return NULL;
    }
    memset(&ie, 0, sizeof ie);
    memset(&info, 0, sizeof info);
    if (!WinHttpGetIEProxyConfigForCurrentUser(&ie)
        || !MultiByteToWideChar(CP_UTF8, 0, url, -1, wideUrl, 2048))
        return NULL;
    if (ie.fAutoDetect || ie.lpszAutoConfigUrl) {
        memset(&options, 0, sizeof options);
        options.dwFlags = ie.lpszAutoConfigUrl ? WINHTTP_AUTOPROXY_CONFIG_URL : 0;
        if (ie.fAutoDetect) {
            options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
            options.dwAutoDetectFlags
                = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        }
        options.lpszAutoConfigUrl = ie.lpszAutoConfigUrl;
        /* No credentials, not even to fetch the script. */
        options.fAutoLogonIfChallenged = FALSE;
        session = WinHttpOpen(L"updateCurl/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY,
            WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        /* A script that does not come must leave time for the fetch itself. */
        if (session)
            WinHttpSetTimeouts(session, PROXY_STEP_MS, PROXY_STEP_MS, PROXY_STEP_MS, PROXY_STEP_MS);
        /* A script that answers is the whole answer, a direct connection included. */
        if (session && WinHttpGetProxyForUrl(session, wideUrl, &options, &info)) {
            if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY)
                proxy = pickProxy(info.lpszProxy, scheme);
            GlobalFree(info.lpszProxy);
            GlobalFree(info.lpszProxyBypass);
            GlobalFree(ie.lpszProxy);
            ie.lpszProxy = NULL;
        }
        if (session)
            WinHttpCloseHandle(session);
    }
    memset(&parts, 0, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    if (!proxy && ie.lpszProxy && WinHttpCrackUrl(wideUrl, 0, 0, &parts)
        && !bypassed(ie.lpszProxyBypass, host))
        proxy = pickProxy(ie.lpszProxy, scheme);
    GlobalFree(ie.lpszProxy);
    GlobalFree(ie.lpszProxyBypass);
    GlobalFree(ie.lpszAutoConfigUrl);
    return proxy;
}
#endif

static int fetch(CURL* curl, const char* url, struct Body* body)
{
    char errorBuffer[CURL_ERROR_SIZE];
    char reason[CURL_ERROR_SIZE + 64];
    CURLcode rc;
    long status = 0;
    long proxyStatus = 0;
    long timeout = TOTAL_TIMEOUT_MS;
#ifdef _WIN32
    DWORD started = GetTickCount();
    char* proxy = systemProxy(url);
    /* The time spent finding the proxy counts against the bound. */
    timeout -= (long)(GetTickCount() - started);
    if (timeout < 1) {
        free(proxy);
        fail("finding the system's proxy took too long");
        return 1;
    }
    if (proxy)
        curl_easy_setopt(curl, CURLOPT_PROXY, proxy);
#endif

    errorBuffer[0] = '\0';
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, MAX_REDIRECTS);
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS, (long)(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, (long)(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, CONNECT_TIMEOUT_MS);
    /* Stops at the status line of an error instead of downloading its page. */
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "updateCurl/1.0");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);

    rc = curl_easy_perform(curl);
#ifdef _WIN32
    free(proxy);
#endif
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &proxyStatus);
    if (status == 407 || proxyStatus == 407) {
        fail("the proxy asks for credentials (HTTP 407)");
        return 1;
    }
    if (rc != CURLE_OK) {
        if (body->tooLarge)
            snprintf(reason, sizeof reason, "response larger than %lu bytes",
                (unsigned long)MAX_BODY_BYTES);
        else if (body->outOfMemory)
            snprintf(reason, sizeof reason, "out of memory");
        else
            snprintf(
                reason, sizeof reason, "%s", errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc));
        fail(reason);
        return 1;
    }

    /* A 3xx that could not be followed is not the requested content either. */
    if (status < 200 || status > 299) {
        snprintf(reason, sizeof reason, "HTTP status %ld", status);
        fail(reason);
        return 1;
    }
    return 0;
}

static int writeBody(const struct Body* body)
{
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (body->size > 0 && fwrite(body->data, 1, body->size, stdout) != body->size) {
        fail("cannot write to standard output");
        return 1;
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fail("cannot write to standard output");
        return 1;
    }
    return 0;
}

int main(int argc, char** argv)
{
    struct Body body = {NULL, 0, 0, 0, 0};
    CURL* curl;
    int result;

    if (argc != 2) {
        fprintf(stderr, "usage: updateCurl.exe URL\n");
        return 2;
    }

    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        fail("cannot initialise libcurl");
        return 1;
    }
    curl = curl_easy_init();
    if (!curl) {
        fail("cannot initialise libcurl");
        curl_global_cleanup();
        return 1;
    }

    result = fetch(curl, argv[1], &body);
    curl_easy_cleanup(curl);
    curl_global_cleanup();

    if (result == 0)
        result = writeBody(&body);
    free(body.data);
    return result;
}
