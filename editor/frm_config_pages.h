#pragma once
// The editor's detail pages: one stacked page per node kind, filled from a node's record.
// Editing through the controls is the frame's; the pages only show and grey.
#include <QDoubleSpinBox>
#include <QStackedWidget>
#include <cstdint>
#include <utility>
#include <vector>

#include "editor/config_node.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QSpinBox;
class QTabWidget;

namespace vos {

class TCheckGroupBox;
class TControlPropsList;

// A calculator edit: a double spin box whose limits of 0 and 0 mean no limit. With decimals
// above 0 it shows up to that many, trimmed, with group separators (",0.#####").
class TCalcEdit : public QDoubleSpinBox {
public:
    explicit TCalcEdit(int decimals, QWidget* parent = nullptr);

    // Sets the limits; min = max = 0 gives the full range of the edit.
    void SetLimits(double minimum, double maximum);
    // The value shown in the locale's format; typed text is read back by Qt's own rules.
    QString textFromValue(double value) const override;

private:
    int shownDecimals_;
};

class TConfigDetailPages : public QStackedWidget {
public:
    enum TPage { pgServer = 0, pgStation = 1, pgFolder = 2, pgVariable = 3, pgEmpty = 4, pgModem = 5 };

    explicit TConfigDetailPages(QWidget* parent = nullptr);

    std::vector<QWidget*> DetailControls() const;         // the 51, in RegisterDetailControls order
    void RegisterDetailControls(TControlPropsList& list);  // adds the 51 in order
    void ApplyCaptions();  // every catalogue caption of the pages (labels, pages, combos)
    void RefreshTypeComboTexts();
    void ShowServerPage();
    void ShowFolderPage(const TConfigNodeRec& rec, int selectedCount);
    void ShowModemPage(const TConfigNodeRec& rec, int selectedCount);
    void ShowStationDetail(const TConfigNodeRec& rec, int selectedCount);
    void ShowVariableDetail(TConfigNodeRec& rec, QWidget* sender, int selectedCount);  // may change rec
    void ShowEmptyPage();

    // The raw type's value range; {0, 0} means no range. Clamps high, then low, into it.
    static std::pair<double, double> TypeRange(std::int32_t varType);
    static std::pair<double, double> ClampToTypeRange(std::int32_t varType, double& high, double& low);
    // "Numeric" for the variable page: 2, 3, 4, 5, 17, 18, 19.
    static bool IsNumericType(std::int32_t varType);
    // Generated service items whose identity the variable page locks (name, place, access,
    // comment and, except for the data buffer 13, the type).
    static bool IsLockedServiceCode(std::int32_t serviceCode);

private:
    void BuildServerPage();
    void BuildStationPage();
    void BuildFolderPage();
    void BuildVariablePage();
    void BuildEmptyPage();
    void BuildModemPage();

    QWidget* TS_Server;
    QWidget* TS_Station;
    QWidget* TS_Folder;
    QWidget* TS_Variable;
    QWidget* TS_Empty;
    QWidget* TS_Modem;
    QTabWidget* PageControl_Station;
    QWidget* TS_StMainConnection;
    QWidget* TS_StStandByConnection;
    QTabWidget* PageControl_Variable;
    QWidget* TS_VarSimulation;
    QWidget* TS_VarContactLabel;
    QWidget* TS_VarScaled;
    QWidget* TS_VarLimits;

    // Modem page.
    QLabel* L_Modem;
    QLabel* L_ModName;
    QLabel* L_ModComment;
    QLabel* L_ModComNum;
    QLineEdit* E_ModName;
    QPlainTextEdit* Memo_ModComment;
    QComboBox* CB_ModComNum;

    // Station page.
    QLabel* L_Station;
    QLabel* L_StName;
    QLabel* L_StComment;
    QLabel* L_StType;
    QLabel* L_StAddress;
    QLabel* L_StIPAddress;
    QLabel* L_StComNum;
    QLabel* L_StBaud;
    QLabel* L_StTimeout;
    QLabel* L_StParity;
    QLabel* L_StConType;
    QLabel* L_StStandByAddress;
    QLabel* L_StStandByIPAddress;
    QLabel* L_StStandByComNum;
    QLabel* L_StStandByBaud;
    QLabel* L_StStandByTimeout;
    QLabel* L_StStandByParity;
    QLabel* L_StStandByConType;
    QLineEdit* E_StName;
    QPlainTextEdit* Memo_StComment;
    QComboBox* CB_StType;
    QSpinBox* E_StAddress;
    QSpinBox* E_StComNum;
    QComboBox* CB_StComSpeed;
    TCalcEdit* E_StTimeout;
    QComboBox* CB_StConType;
    QComboBox* CB_StParity;
    QLineEdit* E_StIpAddress;
    QSpinBox* E_StStandByAddress;
    QSpinBox* E_StStandByComNum;
    QComboBox* CB_StStandByComSpeed;
    TCalcEdit* E_StStandByTimeout;
    QComboBox* CB_StStandByConType;
    QComboBox* CB_StStandByParity;
    QLineEdit* E_StStandByIpAddress;

    // Folder page.
    QLabel* L_Folder;
    QLabel* L_FolderName;
    QLineEdit* E_FolderName;

    // Variable page.
    QLabel* L_Variable;
    QLabel* L_VarName;
    QLabel* L_VarComment;
    QLabel* L_VarAddress;
    QLabel* L_VarInstrType;
    QLabel* L_VarArrLen;
    QLabel* L_VarNumOfChars;
    QLabel* L_VarUnits;
    QGroupBox* GB_ContactLabel;
    QLabel* L_InputRange;
    QLabel* L_VarInitialValue;
    QLabel* L_VarHiHiLimit;
    QLabel* L_VarHiLimit;
    QLabel* L_VarLoLimit;
    QLabel* L_VarLoLoLimit;
    QLabel* L_VarType;
    QLabel* L_VarSimulationType;
    QLabel* L_VarSimulationRate;
    QLabel* L_VarSimulationGain;
    QLineEdit* E_VarName;
    QPlainTextEdit* Memo_VarComment;
    QSpinBox* E_VarAddress;
    QSpinBox* E_VarBit;
    QComboBox* CB_VarDataZone;
    QComboBox* CB_VarInstrType;
    QSpinBox* E_VarNumOfItems;
    QSpinBox* E_VarNumOfChars;
    QCheckBox* ChB_VarReadable;
    QCheckBox* ChB_VarWriteable;
    QLineEdit* E_VarUnits;
    TCheckGroupBox* GB_VarScaled;
    TCalcEdit* E_VarLowInstrumentRange;
    TCalcEdit* E_VarHiInstrumentRange;
    TCalcEdit* E_VarLowScaledRange;
    TCalcEdit* E_VarHiScaledRange;
    QLineEdit* E_VarContactCloseLabel;
    QLineEdit* E_VarContactOpenLabel;
    QLineEdit* E_VarInitialValue;
    TCalcEdit* E_VarHiHiLimit;
    TCalcEdit* E_VarHiLimit;
    TCalcEdit* E_VarLoLimit;
    TCalcEdit* E_VarLoLoLimit;
    QComboBox* CB_VarType;
    TCheckGroupBox* GB_VarSimulated;
    QComboBox* CB_VarSimulationType;
    TCalcEdit* E_VarSimulationMin;
    TCalcEdit* E_VarSimulationMax;
    TCalcEdit* E_VarSimulationRate;
    TCalcEdit* E_VarSimulationGain;
};

}  // namespace vos
