#include "mail/media_types.h"

#include <gtest/gtest.h>

namespace kdv {
namespace {

TEST(MediaTypes, FileNamesByExtension) {
    const struct {
        const char* fileName;
        const char* type;
    } cases[] = {
        {"bericht.txt", "text/plain"},
        {"Bericht.PDF", "application/pdf"},
        {"foto.jpg", "image/jpeg"},
        {"foto.JPEG", "image/jpeg"},
        {"karte.png", "image/x-png"},
        {"anlagen.zip", "application/x-zip-compressed"},
        {"tabelle.xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
        {"brief.doc", "application/msword"},
        {"seite.htm", "text/html"},
        {"nachricht.eml", "message/rfc822"},
        {"C:\\Lage\\Anlagen\\plan.dwg", "image/vnd.dwg"},
        {"/var/lage/archiv.tar.gz", "application/x-gzip"},
        {"Grüße.txt", "text/plain"},
        {"datei.unbekannt", "application/octet-stream"},
        {"ohne_endung", "application/octet-stream"},
        {"ordner.d/ohne_endung", "application/octet-stream"},
        {"punkt.", "application/octet-stream"},
        {"", "application/octet-stream"},
    };
    for (const auto& c : cases) EXPECT_EQ(MediaTypeOfFileName(c.fileName), c.type) << c.fileName;
}

TEST(MediaTypes, ExtensionsWithDotAndAnyCase) {
    EXPECT_EQ(MediaTypeOfExtension(".Txt"), "text/plain");
    EXPECT_EQ(MediaTypeOfExtension("txt"), "application/octet-stream") << "the dot belongs to the extension";
    EXPECT_EQ(MediaTypeOfExtension(""), "application/octet-stream");
}

}  // namespace
}  // namespace kdv
