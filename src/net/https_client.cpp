#include "net/https_client.h"

#include <curl/curl.h>

#include <mutex>

#include "platform/ascii_text.h"
#include "platform/dira_error.h"
#include "platform/dynamic_library.h"
#include "platform/library_file_names.h"

namespace kdv {
namespace {

// libcurl with the TLS library the system prefers; loaded, not linked, so
// the service starts and mails with passwords on a machine without it.
constexpr const char* kLibCurlName = kLibCurlFileName;

struct TCurlApi {
    decltype(&curl_global_init) global_init;
    decltype(&curl_easy_init) easy_init;
    decltype(&curl_easy_setopt) easy_setopt;
    decltype(&curl_easy_perform) easy_perform;
    decltype(&curl_easy_getinfo) easy_getinfo;
    decltype(&curl_easy_cleanup) easy_cleanup;
    decltype(&curl_easy_strerror) easy_strerror;
    decltype(&curl_slist_append) slist_append;
    decltype(&curl_slist_free_all) slist_free_all;
};

template <typename F>
void Bind(const TDynamicLibrary& library, F& target, const char* name, std::string& missing) {
    target = reinterpret_cast<F>(library.Symbol(name));
    if (target == nullptr) missing += std::string(missing.empty() ? "" : ", ") + name;
}

// Loaded once for the life of the process; the failure, if any, is kept.
const TCurlApi& LoadCurl() {
    static std::once_flag once;
    static TCurlApi api{};
    static std::string failure;
    static std::unique_ptr<TDynamicLibrary> library;
    std::call_once(once, [] {
        std::string reason;
        library = TDynamicLibrary::Load(kLibCurlName, reason);
        if (!library) {
            failure = std::string(kLibCurlName) + " konnte nicht geladen werden (" + reason + ")";
            return;
        }
        std::string missing;
        Bind(*library, api.global_init, "curl_global_init", missing);
        Bind(*library, api.easy_init, "curl_easy_init", missing);
        Bind(*library, api.easy_setopt, "curl_easy_setopt", missing);
        Bind(*library, api.easy_perform, "curl_easy_perform", missing);
        Bind(*library, api.easy_getinfo, "curl_easy_getinfo", missing);
        Bind(*library, api.easy_cleanup, "curl_easy_cleanup", missing);
        Bind(*library, api.easy_strerror, "curl_easy_strerror", missing);
        Bind(*library, api.slist_append, "curl_slist_append", missing);
        Bind(*library, api.slist_free_all, "curl_slist_free_all", missing);
        if (!missing.empty()) {
            failure = std::string(kLibCurlName) + " ist unvollständig (fehlt: " + missing + ")";
            return;
        }
        // Not thread-safe by itself; once per process, before any transfer.
        if (api.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            failure = std::string(kLibCurlName) + " ließ sich nicht initialisieren";
        }
    });
    if (!failure.empty()) throw EDiraError(TErrorKind::ekOther, failure);
    return api;
}

TErrorKind KindOf(CURLcode code) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
            return TErrorKind::ekRefused;
        case CURLE_OPERATION_TIMEDOUT:
            return TErrorKind::ekTimeout;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ENGINE_INITFAILED:
            return TErrorKind::ekTls;
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_PARTIAL_FILE:
            return TErrorKind::ekPeerClosed;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return TErrorKind::ekUsage;
        default:
            return TErrorKind::ekOther;
    }
}

struct TReceived {
    std::string body;
    bool too_large = false;
};

std::size_t Receive(char* data, std::size_t size, std::size_t count, void* user) {
    auto& received = *static_cast<TReceived*>(user);
    const std::size_t bytes = size * count;
    if (received.body.size() + bytes > kMaxHttpsAnswerBytes) {
        received.too_large = true;
        return 0;  // ends the transfer
    }
    received.body.append(data, bytes);
    return bytes;
}

class TCurlHttpsClient final : public IHttpsClient {
public:
    THttpsAnswer Post(const THttpsPost& request) override {
        if (!StartsWithNoCase(request.url, "https://")) {
            throw EDiraError(TErrorKind::ekUsage, "Nur https:-Adressen sind erlaubt: " + request.url);
        }
        const TCurlApi& api = LoadCurl();
        CURL* curl = api.easy_init();
        if (curl == nullptr) throw EDiraError(TErrorKind::ekOther, "libcurl: kein Handle");
        curl_slist* headers = api.slist_append(nullptr, "Accept: application/json");
        const std::string body = FormBody(request.form);
        TReceived received;
        char detail[CURL_ERROR_SIZE] = {};
        api.easy_setopt(curl, CURLOPT_URL, request.url.c_str());
        // Secrets never travel in clear, nor to another address.
        api.easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
        api.easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        api.easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
        api.easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!request.ca_file.empty()) {
            api.easy_setopt(curl, CURLOPT_CAINFO, request.ca_file.c_str());
        } else {
            // Windows' own store, which the TLS library does not read; a
            // no-op where the library's default paths are the system's store.
            api.easy_setopt(curl, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NATIVE_CA));
        }
        api.easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        api.easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        api.easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        api.easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.time_limit_ms));
        api.easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.time_limit_ms));
        // Time-outs by the clock, not by signals: other threads run.
        api.easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        api.easy_setopt(curl, CURLOPT_USERAGENT, "KorvaneDiraVid");
        api.easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Receive);
        api.easy_setopt(curl, CURLOPT_WRITEDATA, &received);
        api.easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);
        const CURLcode code = api.easy_perform(curl);
        long status = 0;
        api.easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        api.easy_cleanup(curl);
        api.slist_free_all(headers);
        if (received.too_large) {
            throw EDiraError(TErrorKind::ekTooLarge, request.url + ": die Antwort ist größer als " +
                                                         std::to_string(kMaxHttpsAnswerBytes) + " Bytes");
        }
        if (code != CURLE_OK) {
            const std::string reason = detail[0] != '\0' ? detail : api.easy_strerror(code);
            throw EDiraError(KindOf(code), request.url + ": " + reason);
        }
        return THttpsAnswer{status, std::move(received.body)};
    }
};

}  // namespace

std::unique_ptr<IHttpsClient> MakeHttpsClient() { return std::make_unique<TCurlHttpsClient>(); }

std::string FormBody(const std::vector<std::pair<std::string, std::string>>& form) {
    static const char kHex[] = "0123456789ABCDEF";
    const auto encode = [](const std::string& text) {
        std::string out;
        for (const unsigned char c : text) {
            if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                c == '_' || c == '~') {
                out += static_cast<char>(c);
            } else {
                out += '%';
                out += kHex[c >> 4];
                out += kHex[c & 15];
            }
        }
        return out;
    };
    std::string body;
    for (const auto& [name, value] : form) {
        if (!body.empty()) body += '&';
        body += encode(name) + "=" + encode(value);
    }
    return body;
}

}  // namespace kdv
