#ifndef SYSTEMPROXY_H
#define SYSTEMPROXY_H

#include <string>

namespace transport {

// The proxy the system names for url, as libcurl takes it ("host:port"); empty for none, or where
// libcurl finds it by itself (the environment's http_proxy and the like). On Windows: Internet
// Options, a PAC script and WPAD included, asked within a short bound. Asked once per scheme and
// host in a run.
std::string systemProxy(const std::string& url);

} // namespace transport

#endif // SYSTEMPROXY_H
