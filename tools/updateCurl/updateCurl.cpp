// updateCurl.exe URL
//
// Fetches URL with a plain GET and writes the response body, unchanged, to standard output. Nothing
// is written there unless the whole transfer succeeded with a 2xx status, so a caller never takes
// an error page or a truncated body for content. Speaks HTTP as the updater does (the same
// transport: TLS, HTTP/2, the system's proxy, at most 5 redirects, none from https to http), and
// gives up by itself before the updater's own 10 second bound.
//
// Exit codes: 0 success, 1 any failure (reason on one line of standard error), 2 wrong usage.

#include "transport.h"

#include <cstdio>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

const int totalMs = 8500;
const int connectMs = 5000;
const int64_t maxBodyBytes = int64_t(64) << 20;

int fail(const std::string& reason)
{
    std::fprintf(stderr, "updateCurl: %s\n", reason.c_str());
    std::fflush(stderr);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: updateCurl.exe URL\n");
        return 2;
    }
    if (!transport::initialise())
        return fail("cannot initialise libcurl");
    std::string body;
    transport::Outcome result;
    {
        transport::Transfers transfers(1, connectMs);
        transport::Request request;
        request.url = argv[1];
        request.maxBytes = maxBodyBytes;
        request.totalMs = totalMs;
        request.body = [&body](const char* data, size_t size) {
            body.append(data, size);
            return true;
        };
        request.done = [&result](const transport::Outcome& outcome) { result = outcome; };
        transfers.add(std::move(request));
        transfers.runUntilDone([] { return false; });
    }
    if (!result.ok)
        return fail(result.reason.empty() ? "the body could not be kept" : result.reason);
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if ((!body.empty() && std::fwrite(body.data(), 1, body.size(), stdout) != body.size())
        || std::fflush(stdout) != 0)
        return fail("cannot write to standard output");
    return 0;
}
