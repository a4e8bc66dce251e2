#include "export/vcard.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

namespace {

// The first card's property of that name (the last one of the name wins), or nullptr.
const VCardProperty* property(const QList<VCard>& cards, const QString& name)
{
    if (cards.isEmpty())
        return nullptr;
    return indexVCardProperties(cards.first()).value(name, nullptr);
}

QByteArray valueOf(const QByteArray& text, const char* name)
{
    const QList<VCard> cards = parseVCards(text);
    const VCardProperty* p = property(cards, QString::fromLatin1(name));
    return p ? p->value : QByteArray("<missing>");
}

QByteArray card(const QByteArray& body, const QByteArray& lineEnd = "\r\n")
{
    return "BEGIN:VCARD" + lineEnd + body + "END:VCARD" + lineEnd;
}

}  // namespace

TEST(VCardParse, ReadsCardsPropertiesAndParameters)
{
    const QList<VCard> cards = parseVCards(card("VERSION:3.0\r\nFN:Ann Lee\r\nTEL;TYPE=CELL;TYPE=HOME;PREF:+1 555\r\n") +
                                           card("FN:Bob\r\n"));
    ASSERT_EQ(cards.size(), 2);
    ASSERT_EQ(cards[0].size(), 3);
    const VCardProperty& tel = cards[0][2];
    EXPECT_EQ(tel.name, "TEL");
    EXPECT_EQ(tel.value, "+1 555");
    EXPECT_EQ(tel.params.value("TYPE"), "HOME");  // the later TYPE wins
    EXPECT_TRUE(tel.params.contains("PREF"));
    EXPECT_EQ(tel.params.value("PREF"), "");
    EXPECT_EQ(cards[1][0].value, "Bob");
}

TEST(VCardParse, UnfoldsLinesAndKeepsBlankLinesOut)
{
    EXPECT_EQ(valueOf(card("FN:Ann\r\n Lee\r\n"), "FN"), "Ann Lee");
    EXPECT_EQ(valueOf(card("FN:Ann\r\n\tLee\r\n"), "FN"), "Ann Lee");
    // Only the first blank of a continuation line is dropped.
    EXPECT_EQ(valueOf(card("FN:Ann\r\n  Lee\r\n"), "FN"), "Ann  Lee");
    // LF text: a blank line between properties changes nothing.
    const QList<VCard> lf = parseVCards(card("FN:Ann\n\nTEL:1\n", "\n"));
    ASSERT_EQ(lf.size(), 1);
    EXPECT_EQ(lf[0].size(), 2);
    // CR LF text: the empty line's CR counts as a fold, so the next line continues the value.
    const QList<VCard> crlf = parseVCards(card("NOTE:a\r\n\r\nTEL:1\r\n"));
    ASSERT_EQ(crlf.size(), 1);
    ASSERT_EQ(crlf[0].size(), 1);
    EXPECT_EQ(crlf[0][0].value, "a TEL:1");
}

TEST(VCardParse, DropsLeadingBlanksOfValuesAndBlanksInParameters)
{
    const QList<VCard> cards = parseVCards(card("TEL; TYPE = C E LL :   1 2\r\n"));
    ASSERT_EQ(cards.size(), 1);
    ASSERT_EQ(cards[0].size(), 1);
    EXPECT_EQ(cards[0][0].params.value("TYPE"), "CELL");
    EXPECT_EQ(cards[0][0].value, "1 2");
}

TEST(VCardParse, ParameterValueEscapesAndContinuedParameterLists)
{
    const QList<VCard> cards = parseVCards(card("X;A=a\\;b\\\\c;B=d:v\r\nY;C=1\r\n;D=2:w\r\n"));
    ASSERT_EQ(cards.size(), 1);
    ASSERT_EQ(cards[0].size(), 2);
    EXPECT_EQ(cards[0][0].params.value("A"), "a;b\\c");
    EXPECT_EQ(cards[0][0].params.value("B"), "d");
    // A line feed inside a parameter list is a blank: the list goes on in the next line.
    EXPECT_EQ(cards[0][1].params.value("D"), "2");
    EXPECT_EQ(cards[0][1].value, "w");
}

TEST(VCardParse, QuotedPrintableValuesAndSoftBreaks)
{
    EXPECT_EQ(valueOf(card("NOTE;ENCODING=QUOTED-PRINTABLE:a=3Db=C3=BC\r\n"), "NOTE"), "a=b\xC3\xBC");
    EXPECT_EQ(valueOf(card("NOTE;QUOTED-PRINTABLE:x=41\r\n"), "NOTE"), "xA");
    // A soft break followed by a letter continues the value (vCard 2.1 addresses and notes).
    EXPECT_EQ(valueOf(card("ADR;ENCODING=QUOTED-PRINTABLE:;;Main=\r\nStreet 1;Town\r\nTEL:5\r\n"), "ADR"),
              ";;MainStreet 1;Town");
    EXPECT_EQ(valueOf(card("ADR;ENCODING=QUOTED-PRINTABLE:;;Main=\r\nStreet 1;Town\r\nTEL:5\r\n"), "TEL"), "5");
    // Followed by a blank the line is folded: the equals sign is cancelled and one space is inserted.
    EXPECT_EQ(valueOf(card("NOTE;ENCODING=QUOTED-PRINTABLE:ab=\r\n cd\r\n"), "NOTE"), "ab cd");
    // A half escape at the line end is not a soft break; a non-hex escape gives the prefix value.
    EXPECT_EQ(valueOf(card("NOTE;ENCODING=QUOTED-PRINTABLE:ab=4\r\nTEL:1\r\n"), "TEL"), "1");
    EXPECT_EQ(valueOf(card("NOTE;ENCODING=QUOTED-PRINTABLE:=4x!\r\n"), "NOTE"), QByteArray("\x04!"));
}

TEST(VCardParse, Base64GroupsAndPartialGroups)
{
    EXPECT_EQ(valueOf(card("PHOTO;ENCODING=b:QUJD\r\n"), "PHOTO"), "ABC");
    EXPECT_EQ(valueOf(card("PHOTO;ENCODING=BASE64:QUI=\r\n"), "PHOTO"), "AB");
    EXPECT_EQ(valueOf(card("PHOTO;BASE64:QQ==\r\n"), "PHOTO"), "A");
    EXPECT_EQ(valueOf(card("PHOTO;BASE64:QQ\r\n"), "PHOTO"), "A");  // completed at the line end
    EXPECT_EQ(valueOf(card("PHOTO;BASE64:QUJD\r\n  REVG\r\n"), "PHOTO"), "ABCDEF");
    // A single leftover character cannot be decoded: the property stays without value.
    EXPECT_EQ(valueOf(card("PHOTO;BASE64:QUJDR\r\n"), "PHOTO"), "");
    // An invalid group stops the parse; what was read stays.
    const QList<VCard> cards = parseVCards(card("FN:A\r\nPHOTO;BASE64:Q!JD\r\nTEL:1\r\n"));
    ASSERT_EQ(cards.size(), 1);
    ASSERT_EQ(cards[0].size(), 2);
    EXPECT_EQ(cards[0][1].value, "");
}

TEST(VCardParse, CardBoundariesAndMalformedParameterLists)
{
    EXPECT_TRUE(parseVCards("FN:Nobody\r\n").isEmpty());
    EXPECT_TRUE(parseVCards("begin:vcard\r\nFN:x\r\nend:vcard\r\n").isEmpty());
    EXPECT_EQ(parseVCards("FN:before\r\n" + card("FN:in\r\n") + "FN:after\r\n").at(0).size(), 1);
    // A line without a colon is dropped.
    EXPECT_EQ(parseVCards(card("garbage line\r\nFN:x\r\n")).at(0).size(), 1);

    const QByteArray failures[] = {"TEL;:1\r\n", "TEL;TYPE=:1\r\n", "TEL;TYPE=;X:1\r\n"};
    for (const QByteArray& bad : failures) {
        const QList<VCard> cards = parseVCards(card("FN:a\r\n" + bad + "TEL:2\r\n"));
        ASSERT_EQ(cards.size(), 1) << bad.constData();
        EXPECT_EQ(cards[0].size(), 1) << bad.constData();  // the rest of the input is not read
    }
    // "=" right after ";" starts a parameter name: no failure.
    EXPECT_EQ(valueOf(card("TEL;=x:1\r\n"), "TEL"), "1");
    // ENCODING without a value names no encoding.
    EXPECT_EQ(valueOf(card("NOTE;ENCODING:a=41\r\n"), "NOTE"), "a=41");
}

TEST(VCardParse, StreamingFeedReportsFailuresAndEndMarks)
{
    QList<QByteArray> values;
    VCardParser parser;
    parser.setValueCallback([&](const QByteArray& value) { values.append(value); });
    EXPECT_TRUE(parser.feed(QByteArray("A:x\nB:"), false));
    EXPECT_TRUE(parser.feed(QByteArray("y"), true));
    EXPECT_EQ(values, (QList<QByteArray>{"x", "", "y", ""}));
    VCardParser failing;
    EXPECT_FALSE(failing.feed(QByteArray("A;:x\n"), true));
}

TEST(VCardValue, DecodingAndSplitting)
{
    VCardProperty latin;
    latin.params.insert("CHARSET", "ISO-8859-1");
    latin.value = "M\xFCller";
    EXPECT_EQ(decodeVCardValue(latin), QString::fromUtf8("M\xC3\xBCller"));
    VCardProperty unknown;
    unknown.params.insert("CHARSET", "no-such-charset");
    unknown.value = "\xC3\xBC";
    EXPECT_EQ(decodeVCardValue(unknown), QString::fromUtf8("\xC3\xBC"));

    VCardProperty adr;
    adr.value = ";;Main\\; Street;Town;;";
    EXPECT_EQ(splitVCardValue(adr), (QStringList{"", "", "Main; Street", "Town", ""}));
}

TEST(VCardWrite, WritesCardsThatReadBack)
{
    const QByteArray note = "First line\nSecond = line with a long tail of words, and \xC3\xBC, to force soft breaks";
    VCard written;
    VCardProperty fn;
    fn.name = "FN";
    fn.value = "Ann Lee";
    VCardProperty n;
    n.name = "NOTE";
    n.params.insert("ENCODING", "QUOTED-PRINTABLE");
    n.params.insert("CHARSET", "UTF-8");
    n.value = encodeQuotedPrintable(note, 30);
    VCardProperty photo;
    photo.name = "PHOTO";
    photo.params.insert("ENCODING", "b");
    photo.params.insert("PREF", "");
    photo.value = encodeBase64Folded(QByteArray(100, '\x7F'), 20);
    written << fn << n << photo;

    const QByteArray text = writeVCards(written);
    EXPECT_TRUE(text.startsWith("BEGIN:VCARD\r\nFN:Ann Lee\r\nNOTE;CHARSET=UTF-8;ENCODING=QUOTED-PRINTABLE:"));
    EXPECT_TRUE(text.contains("PHOTO;ENCODING=b;PREF:"));
    EXPECT_TRUE(text.endsWith("\r\nEND:VCARD\r\n"));

    const QList<VCard> read = parseVCards(text);
    ASSERT_EQ(read.size(), 1);
    ASSERT_EQ(read[0].size(), 3);
    EXPECT_EQ(read[0][1].value, note);
    EXPECT_EQ(read[0][2].value, QByteArray(100, '\x7F'));
}

TEST(VCardWrite, EncodersFoldAtTheLineLength)
{
    EXPECT_EQ(encodeQuotedPrintable("a b=", 0), "a=20b=3D");
    EXPECT_EQ(encodeQuotedPrintable("abcdefgh", 6), "abc=\r\ndef=\r\ngh");
    EXPECT_EQ(encodeBase64Folded("ABCDEF", 4), "QUJD\r\n REVG");
    EXPECT_EQ(encodeBase64Folded("ABCDEF", 0), "QUJDREVG");
}

// Received cards are hostile: random bytes and mutations of a valid card must never crash.
TEST(VCardParse, SurvivesRandomInput)
{
    QRandomGenerator random(1234);
    const QByteArray seed = card("FN;CHARSET=UTF-8:A\r\nNOTE;ENCODING=QUOTED-PRINTABLE:x=41=\r\ny\r\n"
                                 "PHOTO;ENCODING=BASE64:QUJD\r\n REVG\r\nTEL;TYPE=a\\;b:1\r\n");
    const QByteArray alphabet = "BEGIN:VCARD;=\\\r\n \tQP=AB";
    for (int round = 0; round < 2000; ++round) {
        QByteArray input = seed;
        const int edits = 1 + int(random.bounded(8));
        for (int e = 0; e < edits; ++e) {
            const int pos = int(random.bounded(input.size() + 1));
            const char c = round % 2 ? char(random.bounded(256)) : alphabet.at(int(random.bounded(alphabet.size())));
            if (random.bounded(2) && pos < input.size())
                input[pos] = c;
            else
                input.insert(pos, c);
        }
        const QList<VCard> cards = parseVCards(input);
        for (const VCard& c : cards)
            for (const VCardProperty& p : c)
                (void)splitVCardValue(p);
    }
    SUCCEED();
}
