#pragma once
// The file names under which the system installs the libraries the service
// loads at run time. On Windows they are the DLLs shipped beside diravid.exe.

namespace kdv {

#ifdef _WIN32
inline constexpr const char* kLibCryptoFileName = "libcrypto-3-x64.dll";
inline constexpr const char* kLibSslFileName = "libssl-3-x64.dll";
inline constexpr const char* kLibCurlFileName = "libcurl-4.dll";
inline constexpr const char* kLibMariaDbFileName = "libmariadb.dll";
inline constexpr const char* kLibMySqlFileName = "libmysql.dll";
#else
inline constexpr const char* kLibCryptoFileName = "libcrypto.so.3";
inline constexpr const char* kLibSslFileName = "libssl.so.3";
inline constexpr const char* kLibCurlFileName = "libcurl.so.4";
inline constexpr const char* kLibMariaDbFileName = "libmariadb.so.3";
inline constexpr const char* kLibMySqlFileName = "libmysqlclient.so.21";
#endif

}  // namespace kdv
