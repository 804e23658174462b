#ifndef TRANSFER_H
#define TRANSFER_H

// One transfer of the transport: its libcurl settings, what it has received, and how it ended.

#include "transport.h"

#include <curl/curl.h>

#include <chrono>
#include <string>

namespace transport {

using Clock = std::chrono::steady_clock;

// "http", "https", ... of url, in lower case.
std::string schemeOf(const std::string& url);

struct Transfer
{
    Transfer(int id, Request request)
        : id(id)
        , request(std::move(request))
        , url(this->request.url)
        , sawHttps(schemeOf(url) == "https")
        , added(Clock::now())
    {
    }
    ~Transfer() { curl_slist_free_all(headers); }

    // Sets easy up for this hop with what every transfer shares.
    void configure(CURL* easy, int silenceMs);
    // How this hop ended, when it is no redirect to follow.
    Outcome outcome(CURLcode result, long status);

    const int id;
    const Request request;
    std::string url; // this hop's
    bool sawHttps;
    int hops = 0;
    const Clock::time_point added;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    char error[CURL_ERROR_SIZE] = {};
    Head head;
    std::string phrase;
    std::string certificateProblem; // the transport's own check refused the server
    bool begun = false; // the body is being handed on
    bool refused = false;
    bool tooLarge = false;
    int64_t received = 0; // of the body handed on
    int64_t discarded = 0;
    int64_t bytes = 0; // everything that came, for slowness
    int64_t counted = 0; // of bytes, in its connection's window
    Clock::time_point lastByte;
};

} // namespace transport

#endif // TRANSFER_H
