#pragma once
// How the service names itself to the system and in its log.

namespace kdv {

inline constexpr const char* kServiceName = "diravid";
inline constexpr const char* kServiceDisplayName = "KorvaneDiraVid";
inline constexpr const char* kServiceDescription =
    "Service-Anwendung für das Empfangen und Versenden von E-Mails in Korvane.";
inline constexpr const char* kServiceVersion = "1.0.6";

}  // namespace kdv
