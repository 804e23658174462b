#ifndef SERVERCERT_H
#define SERVERCERT_H

// The server's certificate checked by the transport itself where the TLS library may not (Wine's
// Schannel accepts any); elsewhere the TLS library's own check stands. Free of Qt.

#include <string>

namespace transport {

inline constexpr char unknownAuthority[] = "the server's certificate is from an unknown authority";
inline constexpr char expiredCertificate[]
    = "the server's certificate has expired or is not valid yet (is the clock right?)";
inline constexpr char otherName[] = "the server's certificate is for another name";

// Why the certificate of easy's TLS connection (a CURL handle) does not chain to a root Windows
// trusts for servers, or does not name host; empty when it does, for plain http, and off Windows.
// A certificate once found good for a host is not checked again in the run.
std::string serverCertificateProblem(void* easy, const std::string& host);

} // namespace transport

#endif // SERVERCERT_H
