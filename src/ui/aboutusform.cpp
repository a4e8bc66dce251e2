#include "ui/aboutusform.h"

#include "core/fileutil.h"
#include "core/htmltext.h"
#include "core/product.h"
#include "platform/webhost.h"
#include "ui/messagebox.h"

#include <QDate>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

namespace {

constexpr int kPictureSize = 64;

QLabel* addLabel(QWidget* parent, const char* name, const QRect& geometry)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    return label;
}

}  // namespace

AboutUsForm::AboutUsForm(QWidget* parent) : QDialog(parent), m_mover(this)
{
    buildForm();
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(loadStyleSheet());
    lbProduct->setText(QStringLiteral("%1 v%2").arg(productTitle(), QLatin1String(kVersionText)));
    showPicture();
    showHomePageLink();
    lbNotice->setText(tr("Copyright (C) %1 VarnelQuist. All rights reserved.").arg(QDate::currentDate().year()));
    connect(btnOK, &QPushButton::pressed, this, &QDialog::accept);
}

AboutUsForm::~AboutUsForm() = default;

void AboutUsForm::buildForm()
{
    setObjectName(QStringLiteral("AboutUsForm"));
    resize(400, 194);
    setWindowTitle(tr("Dialog"));

    picApp = new QGraphicsView(this);
    picApp->setObjectName(QStringLiteral("picApp"));
    picApp->setGeometry(20, 40, kPictureSize, kPictureSize);
    picApp->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    picApp->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    picApp->setRubberBandSelectionMode(Qt::ContainsItemBoundingRect);

    lbTitle = addLabel(this, "lbTitle", {20, 10, 121, 16});
    lbTitle->setText(tr("关于"));
    lbProduct = addLabel(this, "lbProduct", {100, 48, 281, 31});
    lbProduct->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lbProduct->setWordWrap(true);
    // Two lines, as wide as the product line: the copyright sentence is longer than one line of most fonts.
    lbNotice = addLabel(this, "lbNotice", {100, 80, 281, 36});
    lbNotice->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lbNotice->setWordWrap(true);
    lbHomePage = addLabel(this, "lbHomePage", {20, 120, 201, 16});

    btnOK = new QPushButton(tr("OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setGeometry(160, 160, 75, 23);
}

void AboutUsForm::showPicture()
{
    auto* scene = new QGraphicsScene(this);
    scene->addPixmap(QPixmap(QStringLiteral(":/res/main.png")).scaledToHeight(kPictureSize, Qt::FastTransformation));
    picApp->setStyleSheet(QStringLiteral("background:Transparent;border:0;"));
    picApp->setScene(scene);
}

// The link opens through the program's shell, which accepts only web addresses.
void AboutUsForm::showHomePageLink()
{
    const QUrl home = webHostUrl(QStringLiteral("tallowmere.html"));
    if (home.isEmpty())
        return;
    const QString url = home.toString(QUrl::FullyEncoded);
    lbHomePage->setText(QStringLiteral("<a href=\"%1\">%2</a>").arg(htmlEscape(url), tr("Home page")));
    connect(lbHomePage, &QLabel::linkActivated, this, [](const QString& link) { openUrl(link); });
}
