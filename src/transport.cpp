#include "transport.h"

#include "transfer.h"

#include <algorithm>
#include <map>
#include <utility>

namespace transport {

bool initialise()
{
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}
struct Transfers::Impl
{
    struct Window
    {
        Clock::time_point start;
        int64_t bytes = 0;
        bool seen = false;
    };

    CURLM* multi = nullptr;
    int connections = 1;
    int silenceMs = 0;
    int nextId = 1;
    long httpVersion = 0; // of the latest answer
    Clock::time_point checked;
    std::map<int, std::unique_ptr<Transfer>> transfers;
    std::vector<CURL*> idle;
    std::map<int, Window> windows; // by connection
    std::vector<std::pair<std::function<void(const Outcome&)>, Outcome>> ended;

    void start(Transfer& transfer);
    void end(int id, const Outcome& outcome);
    void settle(Transfer& transfer, CURLcode result);
    void checkBounds();
};
void Transfers::Impl::start(Transfer& transfer)
{
    if (!transfer.easy && !idle.empty()) {
        transfer.easy = idle.back();
        idle.pop_back();
    }
    transfer.configure(transfer.easy ? transfer.easy : curl_easy_init(), silenceMs);
    curl_multi_add_handle(multi, transfer.easy);
}

void Transfers::Impl::end(int id, const Outcome& outcome)
{
    const auto found = transfers.find(id);
    if (found == transfers.end())
        return;
    std::unique_ptr<Transfer> transfer = std::move(found->second);
    transfers.erase(found);
    curl_multi_remove_handle(multi, transfer->easy);
    idle.push_back(transfer->easy);
    if (transfer->request.done)
        ended.emplace_back(transfer->request.done, outcome);
}
void Transfers::Impl::settle(Transfer& transfer, CURLcode result)
{
    CURL* const easy = transfer.easy;
    Outcome outcome;
    long status = 0, version = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
    if (version != 0)
        httpVersion = version;
    outcome.status = int(status);
    char* next = nullptr;
    if (result == CURLE_OK && status >= 300 && status <= 399
        && curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &next) == CURLE_OK && next) {
        const std::string target = next;
        const std::string scheme = schemeOf(target);
        outcome.code = int(status);
        if (scheme != "http" && scheme != "https") {
            outcome.reason = "cannot follow the redirect to " + target;
        } else if (transfer.sawHttps && scheme == "http") {
            outcome.code = InsecureRedirect;
            outcome.reason = "refused the redirect from https to http: " + target;
        } else if (++transfer.hops > maxRedirects) {
            outcome.code = CURLE_TOO_MANY_REDIRECTS;
            outcome.reason = "more than " + std::to_string(maxRedirects) + " redirects";
        } else {
            curl_multi_remove_handle(multi, easy);
            transfer.url = target;
            transfer.sawHttps = transfer.sawHttps || scheme == "https";
            start(transfer);
            return;
        }
    } else {
        outcome = transfer.outcome(result, status);
    }
    end(transfer.id, outcome);
}

void Transfers::Impl::checkBounds()
{
    const Clock::time_point now = Clock::now();
    const auto silence = std::chrono::milliseconds(silenceMs);
    std::vector<std::pair<int, Outcome>> late;
    for (auto& window : windows)
        window.second.seen = false;
    std::multimap<int, int> byConnection;
    for (const auto& entry : transfers) {
        Transfer& transfer = *entry.second;
        if (now - transfer.lastByte > silence) {
            Outcome outcome;
            outcome.code = Silence;
            outcome.reason = "no byte for " + std::to_string(silenceMs) + " ms";
            late.emplace_back(transfer.id, outcome);
            continue;
        }
        // Multiplexed streams share one connection; otherwise each transfer has its own.
        const int connection = httpVersion == CURL_HTTP_VERSION_2_0 ? 0 : transfer.id;
        Window& window = windows.emplace(connection, Window {now}).first->second;
        window.seen = true;
        window.bytes += transfer.bytes - transfer.counted;
        transfer.counted = transfer.bytes;
        byConnection.emplace(connection, transfer.id);
    }
    // Slowness is judged per connection: streams that share one share its rate.
    for (auto it = windows.begin(); it != windows.end();) {
        Window& window = it->second;
        if (!window.seen) {
            it = windows.erase(it);
            continue;
        }
        if (now - window.start >= silence) {
            if (window.bytes * 1000 < slowBytesPerSecond * silenceMs) {
                Outcome outcome;
                outcome.code = Slow;
                outcome.reason = "under " + std::to_string(slowBytesPerSecond) + " bytes/s for "
                    + std::to_string(silenceMs) + " ms";
                const auto range = byConnection.equal_range(it->first);
                for (auto each = range.first; each != range.second; ++each)
                    late.emplace_back(each->second, outcome);
            }
            window = Window {now};
            window.seen = true;
        }
        ++it;
    }
    for (const auto& each : late)
        end(each.first, each.second);
}

Transfers::Transfers(int connections, int silenceMs)
    : impl(std::make_unique<Impl>())
{
    impl->connections = std::max(1, connections);
    impl->silenceMs = silenceMs;
    impl->multi = curl_multi_init();
    curl_multi_setopt(impl->multi, CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
    curl_multi_setopt(impl->multi, CURLMOPT_MAX_HOST_CONNECTIONS, long(impl->connections));
    curl_multi_setopt(impl->multi, CURLMOPT_MAX_CONCURRENT_STREAMS, long(multiplexedStreams));
}

Transfers::~Transfers()
{
    while (!impl->transfers.empty())
        cancel(impl->transfers.begin()->first);
    for (CURL* easy : impl->idle)
        curl_easy_cleanup(easy);
    curl_multi_cleanup(impl->multi);
}

int Transfers::add(Request request)
{
    const int id = impl->nextId++;
    auto transfer = std::make_unique<Transfer>(id, std::move(request));
    Transfer& added = *transfer;
    impl->transfers.emplace(id, std::move(transfer));
    impl->start(added);
    return id;
}

void Transfers::cancel(int id)
{
    const auto found = impl->transfers.find(id);
    if (found == impl->transfers.end())
        return;
    CURL* const easy = found->second->easy;
    curl_multi_remove_handle(impl->multi, easy);
    impl->idle.push_back(easy);
    impl->transfers.erase(found);
}

void Transfers::wait(int ms)
{
    curl_multi_poll(impl->multi, nullptr, 0, ms, nullptr);
    int running = 0;
    curl_multi_perform(impl->multi, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(impl->multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        char* user = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &user);
        impl->settle(*reinterpret_cast<Transfer*>(user), message->data.result);
    }
    // Often enough for bounds of seconds, seldom enough to cost nothing.
    const Clock::time_point now = Clock::now();
    if (now - impl->checked >= std::chrono::milliseconds(100)) {
        impl->checked = now;
        impl->checkBounds();
    }
    // Told last: a taker may add transfers, or end the run.
    for (auto& each : std::exchange(impl->ended, {}))
        each.first(each.second);
}

void Transfers::runUntilDone(const std::function<bool()>& stop)
{
    while (!impl->transfers.empty() && !stop())
        wait(100);
    while (!impl->transfers.empty())
        cancel(impl->transfers.begin()->first);
}

void Transfers::wakeup()
{
    curl_multi_wakeup(impl->multi);
}

int Transfers::count() const
{
    return int(impl->transfers.size());
}

bool Transfers::multiplexed() const
{
    return impl->httpVersion == CURL_HTTP_VERSION_2_0;
}

int Transfers::window() const
{
    return multiplexed() ? multiplexedStreams : impl->connections;
}

} // namespace transport