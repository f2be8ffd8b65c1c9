// The IMAP client reading whatever a server sends: greeting, capabilities,
// login, SELECT, a fetched mail with its literal, UID and flags, STORE,
// EXPUNGE and LOGOUT. Any input ends in a result or an EDiraError, never in
// a crash, a hang or a leak.
#include <cstddef>
#include <cstdint>
#include <string>

#include "clients/mail_imap4.h"
#include "mail/byte_sink.h"
#include "memory_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size < 1) return 0;
    const std::string_view input(reinterpret_cast<const char*>(Data) + 1, Size - 1);
    TMemoryTransport transport(input, static_cast<std::size_t>(Data[0]) * 7 + 1);
    kdv::TMailIMAP4 client;
    client.Host = "fuzz";
    client.Username = Data[0] & 1 ? "anna" : "a\xc3\xa4 b";
    client.Password = "p\"w";
    client.SetIOHandler(&transport);
    try {
        client.Connect(true);
        if (client.SelectMailBox("INBOX")) {
            std::string mail;
            kdv::TStringSink sink(mail);
            kdv::TIMAPFetchItems items;
            (void)client.GetUIDAndFlags(1, items);
            (void)client.RetrieveRaw(1, sink, &items);
            std::string uid;
            if (client.GetUID(1, uid)) (void)client.UIDDeleteMsg(uid);
            (void)client.ExpungeMailBox();
        }
    } catch (const kdv::EDiraError&) {
    }
    client.Disconnect();
    client.SetIOHandler(nullptr);
    return 0;
}
