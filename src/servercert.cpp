#include "servercert.h"

#ifdef _WIN32
#define SECURITY_WIN32
#include <curl/curl.h>
#include <windows.h>

#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <mutex>
#include <set>
#endif

namespace transport {

#ifdef _WIN32

namespace {

std::string verdict(PCCERT_CONTEXT certificate, const std::string& host)
{
    CERT_CHAIN_PARA para {};
    para.cbSize = sizeof para;
    LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(
            nullptr, certificate, nullptr, certificate->hCertStore, &para, 0, nullptr, &chain))
        return unknownAuthority;
    // Wine's policy check passes a chain that ends short of any trusted root; the chain's own
    // status does not.
    const DWORD trust = chain->TrustStatus.dwErrorStatus
        & ~DWORD(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    if (trust != 0) {
        CertFreeCertificateChain(chain);
        return trust & CERT_TRUST_IS_NOT_TIME_VALID ? expiredCertificate : unknownAuthority;
    }
    std::wstring name(host.size() + 1, L'\0');
    name.resize(size_t(MultiByteToWideChar(
        CP_UTF8, 0, host.c_str(), int(host.size()), &name[0], int(name.size()))));
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl {};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.pwszServerName = &name[0];
    CERT_CHAIN_POLICY_PARA policy {};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status {};
    status.cbSize = sizeof status;
    const BOOL checked
        = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status);
    CertFreeCertificateChain(chain);
    if (!checked)
        return "the server's certificate could not be checked";
    const HRESULT error = HRESULT(status.dwError);
    if (error == 0)
        return {};
    if (error == CERT_E_EXPIRED || error == CERT_E_VALIDITYPERIODNESTING)
        return expiredCertificate;
    return error == CERT_E_CN_NO_MATCH ? otherName : unknownAuthority;
}

} // namespace

std::string serverCertificateProblem(void* easy, const std::string& host)
{
    curl_tlssessioninfo* info = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || !info
        || info->backend != CURLSSLBACKEND_SCHANNEL || !info->internals)
        return {};
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesW(static_cast<CtxtHandle*>(info->internals),
            SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate)
            != SEC_E_OK
        || !certificate)
        return "the server sent no certificate";
    static std::mutex mutex;
    static std::set<std::string> trusted;
    const std::string key = host + '\n'
        + std::string(
            reinterpret_cast<const char*>(certificate->pbCertEncoded), certificate->cbCertEncoded);
    std::string problem;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (trusted.count(key) == 0) {
            problem = verdict(certificate, host);
            if (problem.empty())
                trusted.insert(key);
        }
    }
    CertFreeCertificateContext(certificate);
    return problem;
}

#else

std::string serverCertificateProblem(void*, const std::string&)
{
    return {};
}

#endif

} // namespace transport
