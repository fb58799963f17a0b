#include "dlg_about.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/form_placement.h"
#include "app/tray_icon.h"
#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "editor/widgets/url_label.h"

namespace vos {

namespace {

constexpr int kVersionLabelTextId = 105;

template <typename T>
T* Make(QWidget* parent, const char* name)
{
    auto* widget = new T(parent);
    widget->setObjectName(QLatin1String(name));
    return widget;
}

QLabel* MakeLogo(QWidget* parent, const char* name, int size)
{
    auto* image = Make<QLabel>(parent, name);
    image->setPixmap(ProgramIcon().pixmap(size, size));
    image->setFixedSize(size, size);
    return image;
}

TAsUrlLabel* MakeLink(QWidget* parent, const char* name, const QString& caption, const char* url)
{
    auto* link = Make<TAsUrlLabel>(parent, name);
    link->setText(caption);
    link->SetHoverCaption(caption);
    link->SetUrl(QString::fromLatin1(url));
    // The box's own white, not the button grey, behind a link under the mouse.
    link->SetHoverColor(Qt::white);
    return link;
}

}  // namespace

TDlg_About::TDlg_About(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("TDlg_About"));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->setContentsMargins(16, 16, 16, 12);
    layout->setSpacing(10);

    auto* head = new QHBoxLayout;
    head->setSpacing(16);
    Image1 = MakeLogo(this, "Image1", 64);
    head->addWidget(Image1, 0, Qt::AlignTop);
    auto* title = new QGridLayout;
    title->setHorizontalSpacing(6);
    L_Product = Make<QLabel>(this, "L_Product");
    L_Product->setText(QString::fromLatin1(kProductName));
    QFont big = L_Product->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.6);
    L_Product->setFont(big);
    L_VersionLabel = Make<QLabel>(this, "L_VersionLabel");
    L_Version = Make<QLabel>(this, "L_Version");
    L_Version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    title->addWidget(L_Product, 0, 0, 1, 3);
    title->addWidget(L_VersionLabel, 1, 0);
    title->addWidget(L_Version, 1, 1);
    title->setColumnStretch(2, 1);
    head->addLayout(title, 1);
    layout->addLayout(head);

    auto* notice = new QHBoxLayout;
    notice->setSpacing(8);
    Image2 = MakeLogo(this, "Image2", 24);
    L_Notice = Make<QLabel>(this, "L_Notice");
    L_Notice->setText(QString::fromUtf8(kNotice));
    notice->addWidget(Image2);
    notice->addWidget(L_Notice, 1);
    layout->addLayout(notice);

    auto* links = new QGridLayout;
    links->setHorizontalSpacing(10);
    L_HomePage = Make<QLabel>(this, "L_HomePage");
    L_HomePage->setText(QStringLiteral("Home page:"));
    L_EMail = Make<QLabel>(this, "L_EMail");
    L_EMail->setText(QStringLiteral("E-mail:"));
    UL_HomePage = MakeLink(this, "UL_HomePage", QStringLiteral("www.example.com"), kHomePageUrl);
    UL_EMail = MakeLink(this, "UL_EMail", QStringLiteral("opc-server@example.com"), kEMailUrl);
    UL_Product = MakeLink(this, "UL_Product", QString::fromLatin1(kProductName), kProductUrl);
    links->addWidget(L_HomePage, 0, 0);
    links->addWidget(UL_HomePage, 0, 1);
    links->addWidget(L_EMail, 1, 0);
    links->addWidget(UL_EMail, 1, 1);
    links->addWidget(UL_Product, 2, 1);
    links->setColumnStretch(2, 1);
    layout->addLayout(links);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    Button1 = Make<QPushButton>(this, "Button1");
    Button1->setText(QStringLiteral("OK"));
    Button1->setDefault(true);
    buttons->addWidget(Button1);
    layout->addLayout(buttons);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);

    FormCreate();
}

void TDlg_About::FormCreate()
{
    L_VersionLabel->setText(QString::fromStdString(vx::GetLangText(kVersionLabelTextId)));
    L_Version->setText(QString::fromStdString(vx::GetVersionString()));
}

void TDlg_About::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (centred_)
        return;
    centred_ = true;
    CentreOnScreen(*this);
}

}  // namespace vos
