#include "export/vcard.h"

#include <QTextCodec>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The value of the longest hex prefix of the two digits of a quoted-printable escape; 0 for none.
char quotedPrintableByte(const char* digits)
{
    int value = 0;
    for (int i = 0; i < 2; ++i) {
        const int digit = hexDigit(digits[i]);
        if (digit < 0)
            break;
        value = value * 16 + digit;
    }
    return static_cast<char>(value);
}

int base64Digit(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

constexpr int kKeptBufferCapacity = 1024;

void clearBuffer(QByteArray& buffer)
{
    if (buffer.capacity() > kKeptBufferCapacity)
        buffer.clear();
    else
        buffer.resize(0);
}

}  // namespace

VCardParser::VCardParser()
{
    reset();
}

bool VCardParser::feed(const char* data, qsizetype length, bool final)
{
    for (qsizetype i = 0; i < length; ++i) {
        const char c = data[i];
        if (!m_breakHeld) {
            if (c == '\n') {
                m_breakHeld = true;
                m_continuation = false;
                continue;
            }
        } else if (c == '\n') {
            continue;  // blank lines vanish
        } else if (m_continuation) {
            // A folded line: the break and the first blank of the next line become one space.
            m_breakHeld = false;
            if (m_encoding == Encoding::QuotedPrintable)
                m_qpEscape = false;
            putChar(' ');
        } else if (isBlank(c)) {
            m_continuation = true;
            continue;
        } else {
            m_breakHeld = false;
            if (isQuotedPrintableSoftBreak())
                m_qpEscape = false;  // "=" at the line end: the value goes on in the next line
            else
                putChar('\n');
        }
        if (!putChar(c))
            return false;
    }
    return final ? putChar('\n') : true;
}

bool VCardParser::isQuotedPrintableSoftBreak() const
{
    return m_state == State::Value && m_encoding == Encoding::QuotedPrintable && m_qpEscape && m_scratchCount == 0;
}

bool VCardParser::putChar(char c)
{
    switch (m_state) {
    case State::Name:
        return putNameChar(c);
    case State::BeforeParamName:
        return putBeforeParamNameChar(c);
    case State::ParamName:
        return putParamNameChar(c);
    case State::BeforeParamValue:
        return putBeforeParamValueChar(c);
    case State::ParamValue:
        return putParamValueChar(c);
    case State::Value:
        return putValueChar(c);
    }
    return false;
}

bool VCardParser::putNameChar(char c)
{
    if (c == '\n')
        reset();  // a line without ":" is dropped
    else if (isBlank(c))
        return true;
    else if (c == ':')
        deliverProperty();
    else if (c == ';')
        m_state = State::BeforeParamName;
    else
        m_name.append(c);
    return true;
}

bool VCardParser::putBeforeParamNameChar(char c)
{
    if (c == ':') {
        reset();
        return false;
    }
    if (!isBlank(c)) {
        m_params.push_back(VCardParam{QByteArray(1, c), QByteArray(), false});
        m_state = State::ParamName;
    }
    return true;
}

bool VCardParser::putParamNameChar(char c)
{
    if (c == ';')
        m_state = State::BeforeParamName;
    else if (c == '=')
        m_state = State::BeforeParamValue;
    else if (c == ':')
        deliverProperty();
    else if (!isBlank(c))
        m_params.back().name.append(c);
    return true;
}

bool VCardParser::putBeforeParamValueChar(char c)
{
    if (c == ':' || c == ';') {
        reset();
        return false;
    }
    if (!isBlank(c)) {
        m_params.back().hasValue = true;
        m_params.back().value.append(c);
        m_state = State::ParamValue;
    }
    return true;
}

bool VCardParser::putParamValueChar(char c)
{
    VCardParam& param = m_params.back();
    if (c == ':') {
        deliverProperty();  // a colon cannot be escaped
    } else if (c == ';') {
        if (m_paramEscape) {
            m_paramEscape = false;
            param.value.append(c);
        } else {
            m_state = State::BeforeParamName;
        }
    } else if (c == '\\') {
        if (m_paramEscape) {
            m_paramEscape = false;
            param.value.append(c);
        } else {
            m_paramEscape = true;
        }
    } else if (!isBlank(c)) {
        param.value.append(c);
    }
    return true;
}

bool VCardParser::putValueChar(char c)
{
    if (c == '\n')
        return endValue();
    if (c == '\r' || (isBlank(c) && m_skipLeadingSpace))
        return true;
    m_skipLeadingSpace = false;
    return decodeValueChar(c);
}

bool VCardParser::decodeValueChar(char c)
{
    switch (m_encoding) {
    case Encoding::QuotedPrintable:
        if (m_qpEscape) {
            m_scratch[m_scratchCount++] = c;
            if (m_scratchCount == 2) {
                m_value.append(quotedPrintableByte(m_scratch));
                m_qpEscape = false;
                m_scratchCount = 0;
            }
        } else if (c == '=') {
            m_qpEscape = true;
            m_scratchCount = 0;
        } else {
            m_value.append(c);
        }
        return true;
    case Encoding::Base64:
        if (isBlank(c))
            return true;
        m_scratch[m_scratchCount++] = c;
        return m_scratchCount < 4 || decodeBase64Group();
    case Encoding::None:
    case Encoding::EightBit:
        m_value.append(c);
        return true;
    }
    return false;
}

bool VCardParser::decodeBase64Group()
{
    const char* group = m_scratch;
    m_scratchCount = 0;
    const int first = base64Digit(group[0]);
    const int second = base64Digit(group[1]);
    if (first < 0 || second < 0)
        return false;
    m_value.append(static_cast<char>((first * 4 + second / 16) & 0xFF));
    if (group[2] == '=')
        return true;
    const int third = base64Digit(group[2]);
    if (third < 0)
        return false;
    m_value.append(static_cast<char>((second * 16 + third / 4) & 0xFF));
    if (group[3] == '=')
        return true;
    const int fourth = base64Digit(group[3]);
    if (fourth < 0)
        return false;
    m_value.append(static_cast<char>((third * 64 + fourth) & 0xFF));
    return true;
}

bool VCardParser::endValue()
{
    if (m_encoding == Encoding::Base64 && m_scratchCount > 0) {
        while (m_scratchCount < 4)
            m_scratch[m_scratchCount++] = '=';
        if (!decodeBase64Group()) {
            // The property keeps an empty value; the next line is read afresh.
            reset();
            return false;
        }
    }
    if (m_onValue) {
        if (!m_value.isEmpty())
            m_onValue(m_value);
        m_onValue(QByteArray());
    }
    reset();
    return true;
}

void VCardParser::deliverProperty()
{
    // The last encoding named wins, as ENCODING=... or as a bare parameter such as "BASE64".
    for (const VCardParam& param : m_params) {
        const QByteArray& key = param.name.compare("ENCODING", Qt::CaseInsensitive) == 0 ? param.value : param.name;
        if (key.compare("QUOTED-PRINTABLE", Qt::CaseInsensitive) == 0)
            m_encoding = Encoding::QuotedPrintable;
        else if (key.compare("BASE64", Qt::CaseInsensitive) == 0 || key.compare("B", Qt::CaseInsensitive) == 0)
            m_encoding = Encoding::Base64;
        else if (key.compare("8BIT", Qt::CaseInsensitive) == 0)
            m_encoding = Encoding::EightBit;
    }
    if (m_onProperty)
        m_onProperty(m_name, m_params);
    m_state = State::Value;
}

void VCardParser::reset()
{
    m_state = State::Name;
    clearBuffer(m_name);
    clearBuffer(m_value);
    m_params.clear();
    m_skipLeadingSpace = true;
    m_paramEscape = false;
    m_encoding = Encoding::None;
    m_qpEscape = false;
    m_scratchCount = 0;
}

QList<VCard> parseVCards(const QByteArray& text)
{
    QList<VCard> cards;
    bool inCard = false;
    int currentProperty = -1;  // index into cards.last()

    VCardParser parser;
    parser.setPropertyCallback([&](const QByteArray& name, const std::vector<VCardParam>& params) {
        if (name == "BEGIN") {
            cards.append(VCard());
            inCard = true;
            currentProperty = -1;
        } else if (name == "END") {
            inCard = false;
            currentProperty = -1;
        } else if (inCard) {
            VCardProperty property;
            property.name = QString::fromUtf8(name);
            for (const VCardParam& param : params)
                property.params.insert(QString::fromUtf8(param.name), QString::fromUtf8(param.value));
            cards.last().append(property);
            currentProperty = cards.last().size() - 1;
        }
    });
    parser.setValueCallback([&](const QByteArray& value) {
        if (!value.isEmpty() && currentProperty >= 0)
            cards.last()[currentProperty].value = value;
    });
    parser.feed(text, true);  // a failure keeps what was read until then
    return cards;
}

QString decodeVCardValue(const VCardProperty& property)
{
    const auto charset = property.params.constFind(QStringLiteral("CHARSET"));
    if (charset != property.params.constEnd()) {
        if (QTextCodec* codec = QTextCodec::codecForName(charset->toLatin1()))
            return codec->toUnicode(property.value);
    }
    return QString::fromUtf8(property.value);
}

QStringList splitVCardValue(const VCardProperty& property)
{
    const QString text = decodeVCardValue(property);
    QStringList pieces;
    QString piece;
    bool escaped = false;
    for (const QChar c : text) {
        if (escaped) {
            piece.append(c);
            escaped = false;
        } else if (c == QLatin1Char('\\')) {
            escaped = true;
        } else if (c == QLatin1Char(';')) {
            pieces.append(piece);
            piece.clear();
        } else {
            piece.append(c);
        }
    }
    if (!piece.isEmpty())
        pieces.append(piece);
    return pieces;
}

QMap<QString, const VCardProperty*> indexVCardProperties(const VCard& card)
{
    QMap<QString, const VCardProperty*> index;
    for (const VCardProperty& property : card)
        index.insert(property.name, &property);
    return index;
}

QByteArray writeVCards(const VCard& card)
{
    QByteArray out("BEGIN:VCARD\r\n");
    for (const VCardProperty& property : card) {
        out += property.name.toUtf8();
        for (auto it = property.params.constBegin(); it != property.params.constEnd(); ++it) {
            out += ';' + it.key().toUtf8();
            // "KEY=" with nothing after it would not read back: write a bare name instead.
            if (!it.value().isEmpty())
                out += '=' + it.value().toUtf8();
        }
        out += ':' + property.value + "\r\n";
    }
    out += "END:VCARD\r\n";
    return out;
}

QByteArray encodeQuotedPrintable(const QByteArray& data, int lineLength)
{
    static const char kHex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(data.size() * 3);
    int position = 0;
    for (int i = 0; i < data.size(); ++i) {
        const auto byte = static_cast<unsigned char>(data.at(i));
        if (byte < '!' || byte > '~' || byte == '=') {
            out += '=';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
            position += 3;
        } else {
            out += static_cast<char>(byte);
            position += 1;
        }
        // A soft break only between bytes: one at the very end would swallow the line end. Every
        // blank is escaped, so the next line never starts with white space that would fold it.
        if (lineLength != 0 && position >= lineLength - 3 && i + 1 < data.size()) {
            out += "=\r\n";
            position = 0;
        }
    }
    return out;
}

QByteArray encodeBase64Folded(const QByteArray& data, int lineLength)
{
    const QByteArray base64 = data.toBase64();
    if (lineLength <= 0)
        return base64;
    QByteArray out;
    for (int pos = 0; pos < base64.size(); pos += lineLength) {
        if (pos > 0)
            out += "\r\n ";
        out += base64.mid(pos, lineLength);
    }
    return out;
}
