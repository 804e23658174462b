#include "transfer.h"

#include "servercert.h"
#include "systemproxy.h"

#include <algorithm>
#include <utility>

namespace transport {

namespace {

const char userAgent[] = "TavrixUpdater/1.0";
const long bufferSize = 256 * 1024;
// A redirect's or an error's page is read this far, then the connection is dropped with it.
const int64_t discardBound = 64 * 1024;

bool contains(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

// Schemes and header names compare without regard to ASCII case.
std::string lowerAscii(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
        [](unsigned char c) { return char(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return text;
}

} // namespace

std::string schemeOf(const std::string& url)
{
    return lowerAscii(url.substr(0, url.find("://")));
}

namespace {

std::string oneLine(std::string text)
{
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

// Why TLS refused the server, in words one can act on; OpenSSL's verify results on Linux, the
// texts Schannel gives on Windows.
std::string tlsReason(CURL* easy, const std::string& text)
{
    long verify = 0;
    curl_easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verify);
    if (verify == 9 || verify == 10 || contains(text, "expired") || contains(text, "EXPIRED"))
        return expiredCertificate;
    if (verify == 62 || contains(text, "subject name") || contains(text, "WRONG_PRINCIPAL")
        || contains(text, "CN_NO_MATCH"))
        return otherName;
    if ((verify >= 18 && verify <= 21) || verify == 2 || contains(text, "UNTRUSTED_ROOT")
        || contains(text, "issuer") || contains(text, "self-signed")
        || contains(text, "self signed"))
        return unknownAuthority;
    return "the server's certificate was refused";
}

bool isRetryable(CURLcode code)
{
    switch (code) {
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

bool beginBody(Transfer* transfer)
{
    transfer->begun = true;
    if (transfer->request.begin && !transfer->request.begin(transfer->head))
        transfer->refused = true;
    return !transfer->refused;
}

size_t onHeader(char* data, size_t size, size_t count, void* user)
{
    auto* transfer = static_cast<Transfer*>(user);
    const size_t length = size * count;
    transfer->lastByte = Clock::now();
    transfer->bytes += int64_t(length);
    const std::string line = oneLine(std::string(data, length));
    if (line.compare(0, 5, "HTTP/") == 0) { // each answer, a proxy's CONNECT one included
        const size_t code = line.find(' ');
        const size_t text = line.find(' ', code + 1);
        transfer->head = Head();
        transfer->head.status = std::atoi(line.c_str() + std::min(code + 1, line.size()));
        transfer->phrase = text == std::string::npos ? std::string() : line.substr(text + 1);
        return length;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos)
        return length;
    const std::string name = lowerAscii(line.substr(0, colon));
    const size_t start = line.find_first_not_of(' ', colon + 1);
    const std::string value = start == std::string::npos ? std::string() : line.substr(start);
    if (name == "etag")
        transfer->head.etag = value;
    else if (name == "last-modified")
        transfer->head.lastModified = value;
    else if (name == "content-range")
        transfer->head.contentRange = value;
    return length;
}

size_t onBody(char* data, size_t size, size_t count, void* user)
{
    auto* transfer = static_cast<Transfer*>(user);
    const size_t length = size * count;
    transfer->lastByte = Clock::now();
    transfer->bytes += int64_t(length);
    if (!transfer->begun) {
        long status = 0;
        curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || status > 299) { // never handed on
            transfer->discarded += int64_t(length);
            return transfer->discarded > discardBound ? 0 : length;
        }
        if (!beginBody(transfer))
            return 0;
    }
    if (int64_t(length) > transfer->request.maxBytes - transfer->received) {
        transfer->tooLarge = true;
        return 0;
    }
    transfer->received += int64_t(length);
    if (transfer->request.body && !transfer->request.body(data, length)) {
        transfer->refused = true;
        return 0;
    }
    return length;
}

// The host of url, without user, port or the brackets of an IPv6 address.
std::string hostOf(const std::string& url)
{
    const size_t start = url.find("://") == std::string::npos ? 0 : url.find("://") + 3;
    std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
    authority = authority.substr(
        authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
    if (!authority.empty() && authority.front() == '[')
        return authority.substr(1, authority.find(']') - 1);
    return authority.substr(0, authority.find(':'));
}

// Once connected, before the request goes out.
int onConnected(void* user, char*, char*, int, int)
{
    auto* transfer = static_cast<Transfer*>(user);
    transfer->certificateProblem = serverCertificateProblem(transfer->easy, hostOf(transfer->url));
    return transfer->certificateProblem.empty() ? CURL_PREREQFUNC_OK : CURL_PREREQFUNC_ABORT;
}

} // namespace

void Transfer::configure(CURL* easy, int silenceMs)
{
    this->easy = easy;
    curl_easy_reset(easy);
    curl_slist_free_all(std::exchange(headers, nullptr));
    for (const std::string& header : request.headers)
        headers = curl_slist_append(headers, header.c_str());
    head = Head();
    begun = refused = tooLarge = false;
    received = discarded = 0;
    lastByte = Clock::now();
    error[0] = '\0';
    curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed here, hop by hop, by the rules of this unit.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
    // A new transfer waits for the connection under way rather than opening another: it may
    // multiplex.
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, bufferSize);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(silenceMs));
    if (request.totalMs > 0) {
        const auto spent
            = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - added);
        curl_easy_setopt(
            easy, CURLOPT_TIMEOUT_MS, std::max<long>(1, long(request.totalMs - spent.count())));
    }
    curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_NOBODY, request.headOnly ? 1L : 0L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    certificateProblem.clear();
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, onConnected);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, this);
    const std::string proxy = systemProxy(url);
    if (!proxy.empty())
        curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());
#ifdef _WIN32
    // Revocation where it can be checked within the bound; a proxy that asks for Negotiate or NTLM
    // gets the logged-on user's credentials.
    curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, long(CURLSSLOPT_REVOKE_BEST_EFFORT));
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, long(CURLAUTH_NEGOTIATE | CURLAUTH_NTLM));
    curl_easy_setopt(easy, CURLOPT_PROXYUSERPWD, ":");
#endif
#ifdef UPDATER_TEST_CA_FILE
    curl_easy_setopt(easy, CURLOPT_CAINFO, UPDATER_TEST_CA_FILE);
#endif
}

Outcome Transfer::outcome(CURLcode result, long status)
{
    Outcome outcome;
    long proxyStatus = 0;
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &proxyStatus);
    outcome.status = int(status);
    const std::string text
        = error[0] ? std::string(error) : std::string(curl_easy_strerror(result));
    if (!certificateProblem.empty()) {
        outcome.code = CURLE_PEER_FAILED_VERIFICATION;
        outcome.reason = certificateProblem;
    } else if (refused) {
        outcome.sinkFailed = true;
    } else if (tooLarge) {
        outcome.code = TooLarge;
        outcome.reason = "body larger than " + std::to_string(request.maxBytes) + " bytes";
    } else if (status == 407 || proxyStatus == 407) {
        outcome.code = 407;
        outcome.reason = "the proxy asks for credentials (HTTP 407)";
    } else if (result == CURLE_OK && status >= 200 && status <= 299) {
        // An empty body has had no piece to begin with.
        outcome.ok = begun || request.headOnly || beginBody(this);
        outcome.sinkFailed = !outcome.ok;
    } else if (result == CURLE_OK || (status > 0 && discarded > 0)) {
        outcome.code = int(status);
        outcome.reason = oneLine("HTTP " + std::to_string(status) + ' ' + phrase);
    } else if (result == CURLE_PARTIAL_FILE) {
        curl_off_t length = -1;
        curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        outcome.code = CutShort;
        outcome.reason = "body cut short: " + std::to_string(received) + " of "
            + std::to_string(length) + " bytes";
        outcome.retryable = true;
    } else {
        outcome.code = int(result);
        outcome.reason = oneLine(text);
        if (result == CURLE_PEER_FAILED_VERIFICATION || result == CURLE_SSL_CACERT_BADFILE
            || result == CURLE_SSL_CONNECT_ERROR)
            outcome.reason = tlsReason(easy, text) + " (" + outcome.reason + ')';
        outcome.retryable = isRetryable(result);
    }
    return outcome;
}

} // namespace transport
