#pragma once
// The settings dialog Dlg_Settings: the program settings not edited elsewhere, on four pages.
// OK stores the controls in the settings variables, lets the main window apply them and
// writes the settings file; Cancel stores nothing.
#include <QDialog>
#include <functional>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;

namespace vos {

class TDlg_Settings : public QDialog {
    Q_OBJECT

public:
    static constexpr int kClientWidth = 383;
    static constexpr int kClientHeight = 450;

    // afterOk runs once OK has set the variables and before the file is written: the main
    // window's RefreshTypeComboTexts, ApplyLanguage and UpdateMainCaption. Builds the
    // widgets and runs FormCreate.
    explicit TDlg_Settings(QWidget* parent = nullptr, std::function<void()> afterOk = {});

    // Captions, the first page, the controls loaded from the variables.
    void FormCreate();
    // Every caption in the current language; the combos keep their selection.
    void SetCaptions();
    // Stores the controls in the variables, applies them, writes the settings file. A file
    // that cannot be written is reported in an error box; the values stay in use.
    void Btn_OKClick();

    QTabWidget* PgCtrl_Settings = nullptr;
    QWidget* TS_Common = nullptr;
    QWidget* TS_Communications = nullptr;
    QTabWidget* PgCtrl_Communications = nullptr;
    QWidget* TS_General = nullptr;
    QWidget* TS_Modem = nullptr;
    QWidget* TS_Config = nullptr;
    QWidget* TS_Runtime = nullptr;

    QLabel* L_Language = nullptr;
    QComboBox* CB_Language = nullptr;
    QLabel* L_VarTypesSigning = nullptr;
    QComboBox* CB_VarTypesSigninig = nullptr;
    QCheckBox* ChB_ShowMessages = nullptr;

    QLabel* L_ServerAddress = nullptr;
    QSpinBox* E_ServerAddress = nullptr;
    QLabel* L_MaxBadCommCount = nullptr;
    QSpinBox* E_MaxBadCommCount = nullptr;
    QLabel* L_CommDelay = nullptr;
    QSpinBox* E_CommDelay = nullptr;
    QLabel* L_ConnectRate = nullptr;
    QSpinBox* E_ConnectRate = nullptr;
    QLabel* L_MaxPacketLen = nullptr;
    QSpinBox* E_MaxPacketLen = nullptr;
    QLabel* L_MaxBadComToReset = nullptr;
    QSpinBox* E_MaxBadComToReset = nullptr;
    QCheckBox* Chb_DifferentPacketLen = nullptr;
    QGroupBox* GB_FlowOptions = nullptr;
    QCheckBox* ChB_DTR = nullptr;
    QCheckBox* ChB_RTS = nullptr;
    QCheckBox* ChB_CheckTimestamp = nullptr;

    QLabel* L_timBeforeDial = nullptr;
    QSpinBox* E_timBeforeDial = nullptr;
    QLabel* L_SameCallDelay = nullptr;
    QSpinBox* E_SameCallDelay = nullptr;
    QLabel* L_TildeDelay = nullptr;
    QSpinBox* E_TildeDelay = nullptr;

    QGroupBox* GB_VarUniqueness = nullptr;
    QRadioButton* RB1_VarUniqueness = nullptr;
    QRadioButton* RB2_VarUniqueness = nullptr;

    QGroupBox* GB_ArraysWatch = nullptr;
    QLabel* L1_ArrWatchOffset = nullptr;
    QSpinBox* E_ArrWatchOffset = nullptr;
    QLabel* L2_ArrWatchOffset = nullptr;
    QLabel* L1_ArrWatchMaxLen = nullptr;
    QSpinBox* E_ArrWatchMaxLen = nullptr;
    QLabel* L2_ArrWatchMaxLen = nullptr;

    QWidget* Pnl_Buttons = nullptr;
    QPushButton* Btn_OK = nullptr;
    QPushButton* Btn_Cancel = nullptr;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void BuildWidgets();
    void BuildCommon();
    void BuildGeneral();
    void BuildModem();
    void BuildConfig();
    void BuildRuntime();
    void LoadControls();

    std::function<void()> afterOk_;
    bool centred_ = false;
};

}  // namespace vos
