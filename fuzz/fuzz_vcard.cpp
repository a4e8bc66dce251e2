// Contact cards received as attachments: parse, decode and split every value, draw the card image.
#include "export/vcardimage.h"
#include "fuzz_support.h"

#include <QGuiApplication>

// Font look-ups cache their results in fontconfig for the life of the process.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libqoffscreen\n"
           "leak:libfontconfig\n"
           "leak:libglib\n";
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::initialize();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Drawing text needs the font database of a GUI application; it lives as long as the process.
    static int appArgc = 1;
    static char* appArgv[] = {(*argv)[0], nullptr};
    static QGuiApplication* app = new QGuiApplication(appArgc, appArgv);
    (void)argc;
    (void)app;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QList<VCard> cards = parseVCards(fuzz::bytes(data, size));
    for (const VCard& card : cards) {
        for (const VCardProperty& property : card) {
            (void)decodeVCardValue(property);
            (void)splitVCardValue(property);
        }
        (void)writeVCards(card);
    }
    if (!cards.isEmpty()) {
        const CardFields fields = cardFields(cards);
        (void)cardBirthdayText(fields.birthday);
        (void)drawCardImage(fields);
    }
    return 0;
}
