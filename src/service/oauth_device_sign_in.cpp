#include "service/oauth_device_sign_in.h"

#include <thread>

#include <nlohmann/json.hpp>

#include "platform/dira_error.h"
#include "platform/ini_file.h"
#include "service/diravid_module.h"
#include "service/oauth_settings.h"
#include "service/oauth_token_provider.h"
#include "platform/path_text.h"

namespace kdv {
namespace {

using nlohmann::json;

// RFC 8628: the interval when the endpoint names none, and what slow_down adds.
constexpr std::chrono::seconds kDefaultInterval{5};
constexpr std::chrono::seconds kSlowDownStep{5};

std::string Text(const json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

long long Number(const json& object, const char* key, long long fallback) {
    const auto found = object.find(key);
    if (found == object.end()) return fallback;
    if (found->is_number_integer()) return found->get<long long>();
    if (found->is_string()) return std::atoll(found->get<std::string>().c_str());
    return fallback;
}

}  // namespace

int RunOAuthDeviceSignIn(const std::filesystem::path& home, const std::string& section, std::ostream& out,
                         std::shared_ptr<IHttpsClient> https, const TPollWait& wait) {
    const TIniFile ini(home / Tdiravid::kIniFileName);
    TOAuthSettings settings = ReadOAuthSection(ini, section);
    const auto fail = [&](const std::string& reason) {
        out << "Anmeldung für [" << section << "] fehlgeschlagen: " << reason << std::endl;
        return 1;
    };
    if (!settings.error.empty()) return fail(settings.error);
    if (settings.grant != TOAuthGrant::RefreshToken) {
        return fail("[" + section + "] Verfahren ist " + OAuthGrantName(settings.grant) +
                    "; die Anmeldung per Gerätecode gilt nur für refresh_token.");
    }
    if (settings.device_url.empty()) return fail("[" + section + "] GeraeteURL fehlt.");
    if (settings.client_id.empty()) return fail("[" + section + "] ClientID fehlt.");
    TOAuthTokenProvider provider(settings, https);
    const auto post = [&](const std::string& url, std::vector<std::pair<std::string, std::string>> form,
                          json& body) -> long {
        if (!settings.client_secret.empty()) form.push_back({"client_secret", settings.client_secret});
        const THttpsAnswer answer = https->Post(THttpsPost{url, form, settings.time_limit_ms, settings.ca_file});
        body = json::parse(answer.body, nullptr, false);
        if (!body.is_object()) body = json::object();
        return answer.status;
    };
    try {
        json device;
        std::vector<std::pair<std::string, std::string>> form{{"client_id", settings.client_id}};
        if (!settings.scope.empty()) form.push_back({"scope", settings.scope});
        const long status = post(settings.device_url, form, device);
        const std::string device_code = Text(device, "device_code");
        // Some providers call it verification_url.
        std::string address = Text(device, "verification_uri");
        if (address.empty()) address = Text(device, "verification_url");
        if (status != 200 || device_code.empty() || address.empty()) {
            const std::string error = Text(device, "error");
            return fail(provider.Masked(settings.device_url + ": HTTP " + std::to_string(status) +
                                        (error.empty() ? "" : ", " + error) +
                                        (Text(device, "error_description").empty()
                                             ? ""
                                             : ": " + Text(device, "error_description"))));
        }
        const auto lifetime = std::chrono::seconds(Number(device, "expires_in", 900));
        auto interval = std::chrono::seconds(Number(device, "interval", kDefaultInterval.count()));
        out << "Bitte in einem Browser " << address << " öffnen und den Code " << Text(device, "user_code")
            << " eingeben (gültig " << (lifetime.count() + 59) / 60 << " Minuten)." << std::endl;
        const std::string complete = Text(device, "verification_uri_complete");
        if (!complete.empty()) out << "Oder direkt: " << complete << std::endl;
        for (auto waited = std::chrono::seconds(0); waited < lifetime; waited += interval) {
            wait(interval);
            json answer;
            const long poll_status =
                post(settings.token_url,
                     {{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                      {"device_code", device_code},
                      {"client_id", settings.client_id}},
                     answer);
            const std::string error = Text(answer, "error");
            if (poll_status == 200 && !Text(answer, "access_token").empty()) {
                const std::string refresh = Text(answer, "refresh_token");
                if (refresh.empty()) {
                    return fail("der Token-Endpunkt gab kein Refresh-Token (fehlt im Scope offline_access?).");
                }
                provider.StoreRefreshToken(refresh);
                out << "Angemeldet. Das Refresh-Token ist in " << PathToUtf8(OAuthCacheFile(home, section))
                    << " gespeichert; der Dienst meldet sich damit an." << std::endl;
                return 0;
            }
            if (error == "authorization_pending") continue;
            if (error == "slow_down") {
                interval += kSlowDownStep;
                continue;
            }
            if (error == "expired_token") return fail("der Code ist abgelaufen; bitte erneut aufrufen.");
            if (error == "access_denied") return fail("die Anmeldung wurde im Browser abgelehnt.");
            return fail(provider.Masked(settings.token_url + ": HTTP " + std::to_string(poll_status) +
                                        (error.empty() ? "" : ", " + error) +
                                        (Text(answer, "error_description").empty()
                                             ? ""
                                             : ": " + Text(answer, "error_description"))));
        }
        return fail("der Code ist abgelaufen; bitte erneut aufrufen.");
    } catch (const EDiraError& e) {
        return fail(provider.Masked(e.what()));
    }
}

}  // namespace kdv
