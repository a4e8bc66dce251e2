#pragma once
// vCard reading and writing. Contact cards arrive as message attachments, so everything here treats
// its input as hostile: the parser never indexes past its buffers and stops at the first malformed
// parameter list or base64 group, keeping what it read until then.
//
// Two layers: VCardParser, a byte-level streaming parser that unfolds lines, splits a property line
// into name, parameters and value and decodes quoted-printable and base64 values; and parseVCards,
// which drives it and collects the cards.
#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

// One parameter of a property line as read: "TYPE=HOME" or a bare "BASE64" (hasValue false).
struct VCardParam {
    QByteArray name;
    QByteArray value;
    bool hasValue = false;
};

class VCardParser {
public:
    // Called once per property when its ":" is read, with the name and the parameters in line order.
    using PropertyCallback = std::function<void(const QByteArray& name, const std::vector<VCardParam>& params)>;
    // Called at the end of each property line with the decoded value when it is not empty, then once
    // more with an empty array as end mark.
    using ValueCallback = std::function<void(const QByteArray& value)>;

    VCardParser();

    void setPropertyCallback(PropertyCallback callback) { m_onProperty = std::move(callback); }
    void setValueCallback(ValueCallback callback) { m_onValue = std::move(callback); }

    // Feeds bytes; final ends the last line. False when the input is malformed; nothing after the
    // failing byte is read.
    bool feed(const char* data, qsizetype length, bool final);
    bool feed(const QByteArray& data, bool final) { return feed(data.constData(), data.size(), final); }

private:
    enum class State { Name, BeforeParamName, ParamName, BeforeParamValue, ParamValue, Value };
    enum class Encoding { None, QuotedPrintable, Base64, EightBit };

    bool putChar(char c);
    bool putNameChar(char c);
    bool putBeforeParamNameChar(char c);
    bool putParamNameChar(char c);
    bool putBeforeParamValueChar(char c);
    bool putParamValueChar(char c);
    bool putValueChar(char c);
    bool decodeValueChar(char c);
    bool decodeBase64Group();
    bool endValue();
    void deliverProperty();
    void reset();
    bool isQuotedPrintableSoftBreak() const;

    PropertyCallback m_onProperty;
    ValueCallback m_onValue;

    // Line unfolding: a line feed is held until the next byte shows whether the line continues.
    bool m_breakHeld = true;
    bool m_continuation = false;

    State m_state = State::Name;
    QByteArray m_name;
    std::vector<VCardParam> m_params;
    QByteArray m_value;
    bool m_skipLeadingSpace = true;
    bool m_paramEscape = false;
    Encoding m_encoding = Encoding::None;
    bool m_qpEscape = false;
    char m_scratch[4] = {};
    int m_scratchCount = 0;
};

struct VCardProperty {
    QString name;
    QMap<QString, QString> params;  // "" for a parameter without value; a later one of a name wins
    QByteArray value;               // decoded bytes, no character set applied
};

using VCard = QList<VCardProperty>;

// The cards of text ("BEGIN" opens a card, "END" closes it; names of both compared exactly). A
// malformed line ends the parse; the cards read until then are returned.
QList<VCard> parseVCards(const QByteArray& text);

// The value as text: through the codec named by the "CHARSET" parameter when Qt knows it, else UTF-8.
QString decodeVCardValue(const VCardProperty& property);

// The decoded value split on unescaped ";" ("\" takes the next character literally). Empty pieces
// stay, except a trailing empty one.
QStringList splitVCardValue(const VCardProperty& property);

// Properties by name; a later property of a name replaces an earlier one. Points into card.
QMap<QString, const VCardProperty*> indexVCardProperties(const VCard& card);

// One card as vCard text with CR LF line ends. Parameters are written in ascending name order, a
// parameter without value as a bare name. Values are written as they are: a value that may hold line
// breaks must be encoded first (encodeQuotedPrintable or encodeBase64Folded, with its ENCODING parameter).
QByteArray writeVCards(const VCard& card);

// Quoted-printable: bytes outside "!".."~" and "=" become "=XY"; with lineLength > 0 a soft line
// break "=" CR LF is added once a line reaches lineLength - 3 characters.
QByteArray encodeQuotedPrintable(const QByteArray& data, int lineLength);

// Base64 cut into lines of lineLength characters (0: one line), each continuation line folded with
// CR LF and one space.
QByteArray encodeBase64Folded(const QByteArray& data, int lineLength);
