#include "core/errorreport.h"

#include "fixtures/loopback_http.h"
#include "fixtures/scripted_interaction.h"
#include "platform/webhost.h"
#include "ui/messagebox.h"

#include <QUrlQuery>

#include <gtest/gtest.h>

namespace {

using testing_http::LoopbackHttpServer;
using testing_http::ScopedWebHost;

// What a server does with a field: undo the form encoding, then the '!' and '-' substitutions.
QString decodeField(const QByteArray& field)
{
    QByteArray base64 = QByteArray::fromPercentEncoding(field);
    base64.replace('!', '/').replace('-', '=');
    return QString::fromUtf8(QByteArray::fromBase64(base64, QByteArray::AbortOnBase64DecodingErrors));
}

QMap<QString, QByteArray> formFields(const QByteArray& body)
{
    QMap<QString, QByteArray> fields;
    for (const QByteArray& pair : body.split('&')) {
        const int eq = pair.indexOf('=');
        fields.insert(QString::fromLatin1(pair.left(eq)), pair.mid(eq + 1));
    }
    return fields;
}

TEST(ReportField, SubstitutesBase64CharactersThatFormsMangle)
{
    EXPECT_EQ(encodeReportField(QStringLiteral("a")), QStringLiteral("YQ--"));          // "YQ=="
    EXPECT_EQ(encodeReportField(QStringLiteral("ab")), QStringLiteral("YWI-"));         // "YWI="
    EXPECT_EQ(encodeReportField(QStringLiteral("abc")), QStringLiteral("YWJj"));
    EXPECT_EQ(encodeReportField(QStringLiteral("???")), QStringLiteral("Pz8!"));        // "Pz8/"
    // ">>>" is "Pj4+": a bare '+' would reach the server as a space.
    EXPECT_EQ(encodeReportField(QStringLiteral(">>>")), QStringLiteral("Pj4%2B"));
    EXPECT_EQ(decodeField("Pj4%2B"), QStringLiteral(">>>"));
    const QString unicode = QStringLiteral("Fehler \u00e4\u00f6\u00fc \U0001F600 /?>");
    EXPECT_EQ(decodeField(encodeReportField(unicode).toLatin1()), unicode);
}

TEST(ReportPlainText, TurnsLineBreakTagsAndEntitiesBack)
{
    EXPECT_EQ(reportPlainText(QStringLiteral("a<br>b&lt;c&gt;")), QStringLiteral("a\r\nb<c>"));
    EXPECT_EQ(reportPlainText(QStringLiteral("a<BR/>b< br />c<Br  >d")), QStringLiteral("a\r\nb\r\nc\r\nd"));
    EXPECT_EQ(reportPlainText(QStringLiteral("<bra>&LT;")), QStringLiteral("<bra>&LT;"));
    // What htmlEscape() produced comes back exactly, entities inside the data included.
    const QString raw = QStringLiteral("file \"a&b<c>.txt\" &lt;kept&gt;");
    EXPECT_EQ(reportPlainText(htmlEscape(raw)), raw);
}

TEST(ReportBody, CarriesProductVersionAndPlainError)
{
    const QMap<QString, QByteArray> fields = formFields(errorReportBody(QStringLiteral("disk<br/>full")));
    ASSERT_EQ(fields.keys(), (QStringList{QStringLiteral("err"), QStringLiteral("prod"), QStringLiteral("ver")}));
    EXPECT_EQ(decodeField(fields.value(QStringLiteral("prod"))), QStringLiteral("Tallowmere"));
    EXPECT_EQ(decodeField(fields.value(QStringLiteral("ver"))), QStringLiteral("3.2.11(31)"));
    EXPECT_EQ(decodeField(fields.value(QStringLiteral("err"))), QStringLiteral("disk\r\nfull"));
}

TEST(WebHost, EnvironmentOverridesAndEmptyDisables)
{
    {
        const ScopedWebHost host{QString()};
        EXPECT_FALSE(webHostEnabled());
        EXPECT_TRUE(webHostUrl(QStringLiteral("err_report.php")).isEmpty());
        EXPECT_EQ(webHostPost(QStringLiteral("x"), "body", "text/plain"), nullptr);
        EXPECT_EQ(webHostGet(QStringLiteral("x")), nullptr);
    }
    for (const char* unusable : {"ftp://example.org", "file:///etc", "example.org", "http://", "http://u:p@host/",
                                 "http://host/?q=1"}) {
        const ScopedWebHost host(QString::fromLatin1(unusable));
        EXPECT_FALSE(webHostEnabled()) << unusable;
    }
    {
        const ScopedWebHost host(QStringLiteral("https://host.example/tm"));
        EXPECT_EQ(webHostUrl(QStringLiteral("/err_report.php")).toString(),
                  QStringLiteral("https://host.example/tm/err_report.php"));
    }
    {
        const ScopedWebHost host(QStringLiteral("http://127.0.0.1:8080/"));
        EXPECT_EQ(webHostUrl(QStringLiteral("err_report.php")).toString(),
                  QStringLiteral("http://127.0.0.1:8080/err_report.php"));
    }
}

TEST(ErrorReport, IsPostedToTheConfiguredHost)
{
    LoopbackHttpServer server;
    const ScopedWebHost host(server.baseUrl());
    ASSERT_TRUE(sendErrorReport(QStringLiteral("cannot open &lt;sms.db&gt;<br/>code 14")));
    ASSERT_TRUE(server.waitForRequest(5000));

    const testing_http::Request& request = server.requests().front();
    EXPECT_EQ(request.requestLine, QByteArray("POST /err_report.php HTTP/1.1"));
    EXPECT_EQ(request.headers.value("content-type"), QByteArray("application/x-www-form-urlencoded"));
    EXPECT_EQ(request.body, errorReportBody(QStringLiteral("cannot open &lt;sms.db&gt;<br/>code 14")));
    EXPECT_EQ(decodeField(formFields(request.body).value(QStringLiteral("err"))),
              QStringLiteral("cannot open <sms.db>\r\ncode 14"));
}

TEST(ErrorReport, NothingIsSentWithoutHost)
{
    LoopbackHttpServer server;
    const ScopedWebHost host{QString()};
    fixtures::ScriptedInteraction script;
    EXPECT_FALSE(sendErrorReport(QStringLiteral("boom")));
    showError(QStringLiteral("boom"));
    EXPECT_FALSE(server.waitForRequest(200));
    EXPECT_EQ(server.connections(), 0);
}

TEST(ShowError, ShowsWrappedTextAndReportsPlainText)
{
    LoopbackHttpServer server;
    const ScopedWebHost host(server.baseUrl());
    fixtures::ScriptedInteraction script;
    const QString text = QStringLiteral("cannot read ") + htmlEscape(QStringLiteral("<img src=x>.db"));

    showError(text);

    ASSERT_EQ(script.boxes().size(), 1u);
    const auto& box = script.boxes().front();
    EXPECT_EQ(box.icon, QMessageBox::Critical);
    EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_TRUE(box.text.startsWith(QStringLiteral("An Error Occurred. <br/><br/>") + text + "<br/><br/>"))
        << box.text.toStdString();
    EXPECT_FALSE(box.text.contains(QStringLiteral(" Or you can contact ")));  // no address configured
    EXPECT_FALSE(box.text.contains(QStringLiteral("<img")));

    ASSERT_TRUE(server.waitForRequest(5000));
    EXPECT_EQ(decodeField(formFields(server.requests().front().body).value(QStringLiteral("err"))),
              QStringLiteral("cannot read <img src=x>.db"));
}

TEST(ShowError, NamesTheConfiguredSupportAddressOnly)
{
    const struct {
        const char* configured;
        const char* shown;  // nullptr: the sentence is left out
    } cases[] = {
        {"", nullptr},
        {"help@example.org", "help@example.org"},
        {" help@example.org ", "help@example.org"},
        {"<b>x</b>@example.org", nullptr},
        {"two words@example.org", nullptr},
        {"no-at-sign", nullptr},
    };
    for (const auto& c : cases) {
        qputenv("TALLOWMERE_SUPPORT_ADDRESS", c.configured);
        const QString text = errorBoxText(QStringLiteral("boom"));
        if (c.shown)
            EXPECT_TRUE(text.endsWith(QStringLiteral(" Or you can contact %1 for help.").arg(QLatin1String(c.shown))))
                << text.toStdString();
        else
            EXPECT_FALSE(text.contains(QStringLiteral("contact"))) << c.configured;
    }
    qputenv("TALLOWMERE_SUPPORT_ADDRESS", "");
}

}  // namespace
