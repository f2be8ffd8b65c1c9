// The POP3 client reading whatever a server sends: greeting, capability list,
// login, count, unique id, size, a mail's data, deletion and QUIT. Any input
// ends in a result or an EDiraError, never in a crash, a hang or a leak.
#include <cstddef>
#include <cstdint>
#include <string>

#include "clients/mail_pop3.h"
#include "mail/byte_sink.h"
#include "memory_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size < 1) return 0;
    const std::string_view input(reinterpret_cast<const char*>(Data) + 1, Size - 1);
    TMemoryTransport transport(input, static_cast<std::size_t>(Data[0]) * 7 + 1);
    kdv::TMailReplyPOP3 reply;
    reply.Parse({std::string(input.substr(0, input.find('\n')))});
    (void)reply.FormattedText();
    kdv::TMailPOP3 client;
    client.Username = "anna";
    client.Password = "pw";
    client.SetIOHandler(&transport);
    try {
        client.Connect("fuzz");
        (void)client.CheckMessages();
        (void)client.UIDL(1);
        (void)client.RetrieveMsgSize(1);
        std::string mail;
        kdv::TStringSink sink(mail);
        (void)client.RetrieveRaw(1, sink);
        (void)client.Delete(1);
    } catch (const kdv::EDiraError&) {
    }
    (void)client.Quit();
    client.SetIOHandler(nullptr);
    return 0;
}
