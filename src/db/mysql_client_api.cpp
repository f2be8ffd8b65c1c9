#include "db/mysql_client_api.h"

#include <map>
#include <memory>
#include <mutex>

#include "db/db_error.h"
#include "platform/dynamic_library.h"
#include "platform/library_file_names.h"

namespace kdv {
namespace {

// The bitness named in the load error's hint; the service is built for 64 bits.
constexpr const char* kProcessBitness = "x64";

std::string JoinNames(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += (i + 1 == names.size()) ? " or " : ", ";
        out += names[i];
    }
    return out;
}

template <typename F>
void Bind(const TDynamicLibrary& library, F& target, const char* name, std::vector<std::string>* missing) {
    target = reinterpret_cast<F>(library.Symbol(name));
    if (target == nullptr && missing != nullptr) missing->push_back(name);
}

// Libraries stay loaded for the life of the process, also during its exit:
// connections in static objects still call into them, and the library's own
// global state must stay reachable.
std::vector<std::unique_ptr<TDynamicLibrary>>& LoadedLibraries() {
    static auto* libraries = new std::vector<std::unique_ptr<TDynamicLibrary>>();
    return *libraries;
}

std::mutex& LoaderMutex() {
    static std::mutex mutex;
    return mutex;
}

TMySqlClientApi LoadLocked(const std::vector<std::string>& names) {
    std::unique_ptr<TDynamicLibrary> library;
    std::string errors;
    for (const auto& name : names) {
        std::string reason;
        library = TDynamicLibrary::Load(name, reason);
        if (library) break;
        errors += reason + "\n";
    }
    if (!library) {
        throw EDbError::Layer(db_code::kLoadLibrary,
                              "Laden der Herstellerbibliothek [" + JoinNames(names) + "] nicht möglich. " + errors +
                                  "Hinweis: Überprüfen Sie, ob sie sich im PATH oder in Anwendungs-EXE-Verzeichnissen "
                                  "befindet und eine Bitanzahl von " +
                                  kProcessBitness + " hat.");
    }
    TMySqlClientApi api;
    api.LibraryName = library->Name();
    std::vector<std::string> missing;
    Bind(*library, api.server_init, "mysql_server_init", &missing);
    Bind(*library, api.init, "mysql_init", &missing);
    Bind(*library, api.options, "mysql_options", &missing);
    Bind(*library, api.real_connect, "mysql_real_connect", &missing);
    Bind(*library, api.close, "mysql_close", &missing);
    Bind(*library, api.real_query, "mysql_real_query", &missing);
    Bind(*library, api.store_result, "mysql_store_result", &missing);
    Bind(*library, api.free_result, "mysql_free_result", &missing);
    Bind(*library, api.fetch_row, "mysql_fetch_row", &missing);
    Bind(*library, api.fetch_lengths, "mysql_fetch_lengths", &missing);
    Bind(*library, api.num_fields, "mysql_num_fields", &missing);
    Bind(*library, api.num_rows, "mysql_num_rows", &missing);
    Bind(*library, api.fetch_fields, "mysql_fetch_fields", &missing);
    Bind(*library, api.data_seek, "mysql_data_seek", &missing);
    Bind(*library, api.field_count, "mysql_field_count", &missing);
    Bind(*library, api.affected_rows, "mysql_affected_rows", &missing);
    Bind(*library, api.next_result, "mysql_next_result", &missing);
    Bind(*library, api.error_number, "mysql_errno", &missing);
    Bind(*library, api.error, "mysql_error", &missing);
    Bind(*library, api.real_escape_string, "mysql_real_escape_string", &missing);
    Bind(*library, api.set_character_set, "mysql_set_character_set", &missing);
    Bind(*library, api.get_server_version, "mysql_get_server_version", &missing);
    Bind(*library, api.get_client_version, "mysql_get_client_version", &missing);
    Bind(*library, api.ssl_set, "mysql_ssl_set", nullptr);
    Bind(*library, api.get_socket, "mysql_get_socket", nullptr);
    // MariaDB Connector/C counts its own versions (3.x) but speaks the
    // current protocol; only it exports this entry point.
    api.MariaDbConnector = library->Symbol("mariadb_get_infov") != nullptr;
    if (!missing.empty()) {
        std::string list;
        for (const auto& m : missing) list += (list.empty() ? "" : ", ") + m;
        throw EDbError::Layer(db_code::kEntryPoints,
                              "Abrufen der Eintrittspunkte für Herstellerbibliothek nicht möglich. [" + list + "]");
    }
    // The library's global set-up is not thread-safe; it runs here, once
    // per library, under the loader's lock.
    api.server_init(0, nullptr, nullptr);
    LoadedLibraries().push_back(std::move(library));
    return api;
}

}  // namespace

const std::vector<std::string>& DefaultMySqlClientNames() {
    static const std::vector<std::string> names{kLibMariaDbFileName, kLibMySqlFileName};
    return names;
}

const TMySqlClientApi& LoadMySqlClient(const std::string& vendor_lib) {
    static auto* loaded_apis = new std::map<std::string, TMySqlClientApi>();
    auto& loaded = *loaded_apis;
    std::lock_guard<std::mutex> lock(LoaderMutex());
    const auto it = loaded.find(vendor_lib);
    if (it != loaded.end()) return it->second;
    const std::vector<std::string> names = vendor_lib.empty() ? DefaultMySqlClientNames()
                                                              : std::vector<std::string>{vendor_lib};
    return loaded.emplace(vendor_lib, LoadLocked(names)).first->second;
}

TMySqlClientApi LoadMySqlClientFrom(const std::vector<std::string>& names) {
    std::lock_guard<std::mutex> lock(LoaderMutex());
    return LoadLocked(names);
}

}  // namespace kdv
