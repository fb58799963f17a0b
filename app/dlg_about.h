#pragma once
// The About box Dlg_About: the program's name and version, the maker's notice and links.
#include <QDialog>

class QLabel;
class QPushButton;

namespace vos {

class TAsUrlLabel;

class TDlg_About : public QDialog {
    Q_OBJECT

public:
    // The maker's notice and links: this project's own.
    static constexpr char kProductName[] = "Vorn OPC Server";
    static constexpr char kNotice[] = "\u00a9 2026 The Vorn OPC Server developers. All rights reserved.";
    static constexpr char kHomePageUrl[] = "https://www.example.com/";
    static constexpr char kEMailUrl[] = "mailto:opc-server@example.com";
    static constexpr char kProductUrl[] = "https://www.example.com/vorn-opc-server/";

    // Builds the widgets and runs FormCreate.
    explicit TDlg_About(QWidget* parent = nullptr);

    // The version texts.
    void FormCreate();

    QLabel* Image1 = nullptr;
    QLabel* Image2 = nullptr;
    QLabel* L_Product = nullptr;
    QLabel* L_VersionLabel = nullptr;
    QLabel* L_Version = nullptr;
    QLabel* L_Notice = nullptr;
    QLabel* L_HomePage = nullptr;
    QLabel* L_EMail = nullptr;
    TAsUrlLabel* UL_HomePage = nullptr;
    TAsUrlLabel* UL_EMail = nullptr;
    TAsUrlLabel* UL_Product = nullptr;
    QPushButton* Button1 = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool centred_ = false;
};

}  // namespace vos
