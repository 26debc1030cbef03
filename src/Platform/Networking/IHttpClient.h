#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "Platform/Export.h"
#include "Platform/Networking/Request.h"
#include "Platform/Networking/RequestOptions.h"
#include "Platform/Networking/Response.h"

namespace Tiskel::Networking {

// Synchronous HTTP requests. One client is shared by many threads: every operation is
// thread-safe, and connections are kept alive and reused between requests of any thread. The
// client must outlive the requests running on it. Whether the callbacks of a request run on the
// calling thread or on a thread of the client is the client's business (see RequestOptions);
// either way the call returns only after the last of them.
class TISKEL_EXPORT IHttpClient {
  public:
    IHttpClient() = default;
    virtual ~IHttpClient() = default;
    IHttpClient(IHttpClient const&) = delete;
    IHttpClient& operator=(IHttpClient const&) = delete;

    // GET: hands the body to `options.bodySink` (or `onData`) piece by piece and reports
    // progress. Redirects are followed as the options say. Failures of the request are returned
    // in the response, never thrown; so is a receiver of the body that throws (ClientError, with
    // the reason in the text). An exception from another callback, wherever it ran, leaves this
    // call on the calling thread once the transfer is stopped.
    virtual Response download(Request const& request, RequestOptions const& options) = 0;
    // HEAD: no body; the response carries the server's Last-Modified time.
    virtual Response head(Request const& request, RequestOptions const& options) = 0;
};

enum HttpClientType : int32_t {
    // libcurl, with the system's CA store for TLS. Starts one network thread on its first request,
    // which drives every transfer of the client and runs their callbacks; HTTP/2 over TLS, with
    // the transfers to one host sharing one connection.
    HttpClientDefault = 0,
};

// What a client does the same way for every request.
struct HttpClientSettings {
    // Credentials for a host come from a netrc file when the URL has none, so that they need
    // not be written where the URL is shown or stored: `netrcFile`, or ~/.netrc when empty.
    bool netrc = false;
    std::string netrcFile;
    // Trusted certificate authorities for TLS: a PEM bundle and a folder of hashed certificates.
    // Empty: the system's store. Setting one trusts what it names instead of the system's store,
    // as curl's --cacert and --capath do. Verification of the peer and its name is never off.
    std::string caFile;
    std::string caDirectory;
};

// `settings` with the CA of the environment, as curl reads it: CURL_CA_BUNDLE, else
// SSL_CERT_FILE, names the bundle; SSL_CERT_DIR the folder. Variables that are unset or empty
// change nothing.
TISKEL_EXPORT HttpClientSettings withCaFromEnvironment(HttpClientSettings settings);

// Creates a client of `type`. Throws std::invalid_argument for an unknown type and
// std::runtime_error when the transport cannot be initialised.
TISKEL_EXPORT std::unique_ptr<IHttpClient> createHttpClient(
    HttpClientType type, HttpClientSettings const& settings = {});

}  // namespace Tiskel::Networking
