#include "clients/sasl_oauth.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "mail/base64_decoder.h"
#include "mail/mime_encoders.h"
#include "platform/ascii_text.h"

namespace kdv {
namespace {

// RFC 5801: the user name in a GS2 header cannot hold "," or "=" bare.
std::string SaslName(const std::string& user) {
    std::string out;
    for (const char c : user) {
        if (c == ',') {
            out += "=2C";
        } else if (c == '=') {
            out += "=3D";
        } else {
            out += c;
        }
    }
    return out;
}

// A JSON value as text: strings as they stand, numbers written out.
std::string ValueText(const nlohmann::json& value) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_number_integer()) return std::to_string(value.get<long long>());
    return "";
}

}  // namespace

const char* OAuthMechanismName(TOAuthMechanism mechanism) {
    return mechanism == TOAuthMechanism::OAuthBearer ? "OAUTHBEARER" : "XOAUTH2";
}

std::optional<TOAuthMechanism> ChooseOAuthMechanism(const std::vector<std::string>& offered) {
    const auto has = [&](std::string_view name) {
        return std::any_of(offered.begin(), offered.end(), [&](const std::string& m) { return EqualsNoCase(m, name); });
    };
    if (has("OAUTHBEARER")) return TOAuthMechanism::OAuthBearer;
    if (has("XOAUTH2")) return TOAuthMechanism::XOAuth2;
    return std::nullopt;
}

std::string OAuthInitialResponse(TOAuthMechanism mechanism, const std::string& user, const std::string& token,
                                 const std::string& host, unsigned port) {
    if (mechanism == TOAuthMechanism::XOAuth2) return "user=" + user + "\x01" "auth=Bearer " + token + "\x01\x01";
    std::string response = "n,a=" + SaslName(user) + ",\x01";
    if (!host.empty()) response += "host=" + host + "\x01";
    if (port != 0) response += "port=" + std::to_string(port) + "\x01";
    return response + "auth=Bearer " + token + "\x01\x01";
}

std::string OAuthErrorChallengeAnswer(TOAuthMechanism mechanism) {
    return mechanism == TOAuthMechanism::OAuthBearer ? Base64Line("\x01") : std::string();
}

std::string DescribeOAuthErrorChallenge(std::string_view base64) {
    const nlohmann::json challenge = nlohmann::json::parse(TBase64Decoder::Decode(base64), nullptr, false);
    if (!challenge.is_object()) return "";
    std::string text;
    for (const auto& [key, label] : {std::pair{"status", "Status"}, std::pair{"scope", "Scope"}}) {
        const auto found = challenge.find(key);
        if (found == challenge.end()) continue;
        const std::string value = ValueText(*found);
        if (value.empty()) continue;
        text += (text.empty() ? "" : ", ") + std::string(label) + " " + value;
    }
    return text;
}

std::string Base64Line(std::string_view bytes) {
    TBase64Encoder encoder;
    std::string lines;
    encoder.Step(bytes, lines);
    encoder.Finish(lines);
    std::erase_if(lines, [](char c) { return c == '\r' || c == '\n'; });
    return lines;
}

std::string NoOAuthOfferedText(const std::string& server) {
    return server + " bietet keine OAuth-Anmeldung an (weder OAUTHBEARER noch XOAUTH2).";
}

}  // namespace kdv
