// The settings dialog and the About box, built and driven without their modal loops.
#include "app/dlg_settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QToolButton>
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/dlg_about.h"
#include "app/settings.h"
#include "comm/vx_def.h"
#include "comm/vx_lang.h"
#include "comm/vx_msgdlg.h"
#include "editor/config_settings.h"
#include "editor/frm_config.h"
#include "editor/widgets/url_label.h"
#include "tests/app/main_fixture.h"

namespace {

using apptest::Put;
using apptest::Slurp;
using vos::TDlg_Settings;

template <class T>
T* Find(const QWidget& in, const char* name)
{
    auto* w = in.findChild<T*>(QLatin1String(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

QString CaptionOf(const QWidget* w)
{
    if (auto* label = qobject_cast<const QLabel*>(w))
        return label->text();
    if (auto* button = qobject_cast<const QAbstractButton*>(w))
        return button->text();
    if (auto* box = qobject_cast<const QGroupBox*>(w))
        return box->title();
    return QStringLiteral("<no caption>");
}

QStringList ItemsOf(const QComboBox* combo)
{
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

// Every variable the dialog reads or writes, for comparing before and after.
struct Snapshot {
    std::vector<std::int64_t> values;
    bool operator==(const Snapshot&) const = default;
};
Snapshot Take()
{
    using namespace vx;
    return {{Language, VarTypesSigning, ShowMessages, ServerAddress, MaxBadCommCount, CommDelay, ConnectRate,
             MaxPacketLen, MaxBadComToReset, DifferentPacketLen, CheckTimestamp, UseRTS, UseDTR, RequireCTS,
             RequireDSR, timTildeDelay, timBeforeDial, timSameCall, vos::VarUniqueness, ArrWatchMaxLen,
             ArrWatchOffset}};
}

struct Box {
    std::string text;
    vx::TMsgDlgType type;
};

class SettingsDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        vx::ResetSettings();
        vos::ResetAppSettings();
        vx::Language = 1;
        vx::IniFileName = Path("VornOPCServer.ini");
        vx::SetMessageDlgAnswer([this](const std::string& text, vx::TMsgDlgType type, vx::TMsgDlgButtons) {
            boxes.push_back({text, type});
            return int(vx::mrOk);
        });
    }
    void TearDown() override
    {
        vx::SetMessageDlgAnswer({});
        vos::AttachConfigFileNames(nullptr);
        vx::ResetSettings();
        vos::ResetAppSettings();
    }

    std::string Path(const std::string& name) const { return dir.filePath(QString::fromStdString(name)).toStdString(); }

    // The dialog as the settings command makes it; its after-OK step is recorded.
    std::unique_ptr<TDlg_Settings> Open()
    {
        return std::make_unique<TDlg_Settings>(nullptr, [this] {
            ++applied;
            if (onApply)
                onApply();
        });
    }
    // The settings file read as at the program's start.
    void ReadFile(const std::string& ini)
    {
        Put(vx::IniFileName, ini);
        vos::ReadSettings();
    }
    std::string FileText() const { return Slurp(vx::IniFileName); }
    bool FileHas(const std::string& line) const { return FileText().find(line + "\n") != std::string::npos; }

    QTemporaryDir dir;
    std::vector<Box> boxes;
    int applied = 0;
    std::function<void()> onApply;
};

TEST_F(SettingsDialog, HasItsPagesControlsCaptionsAndBounds)
{
    auto dlg = Open();
    EXPECT_EQ(dlg->objectName(), "TDlg_Settings");
    EXPECT_EQ(dlg->size(), QSize(383, 450));
    EXPECT_EQ(dlg->minimumSize(), dlg->maximumSize());

    auto* pages = Find<QTabWidget>(*dlg, "PgCtrl_Settings");
    ASSERT_NE(pages, nullptr);
    const std::pair<const char*, const char*> kPages[] = {
        {"TS_Common", "Common"}, {"TS_Communications", "Communication"}, {"TS_Config", "Configuration"},
        {"TS_Runtime", "Runtime"}};
    ASSERT_EQ(pages->count(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(pages->widget(i)->objectName(), kPages[i].first);
        EXPECT_EQ(pages->tabText(i), kPages[i].second);
    }
    EXPECT_EQ(pages->currentWidget()->objectName(), "TS_Common");
    auto* inner = dlg->TS_Communications->findChild<QTabWidget*>();
    ASSERT_NE(inner, nullptr);
    ASSERT_EQ(inner->count(), 2);
    EXPECT_EQ(inner->widget(0)->objectName(), "TS_General");
    EXPECT_EQ(inner->tabText(0), "General");
    EXPECT_EQ(inner->widget(1)->objectName(), "TS_Modem");
    EXPECT_EQ(inner->tabText(1), "Modem");
    EXPECT_TRUE(dlg->Pnl_Buttons->isAncestorOf(dlg->Btn_OK));
    EXPECT_TRUE(dlg->Pnl_Buttons->isAncestorOf(dlg->Btn_Cancel));
    EXPECT_FALSE(pages->isAncestorOf(dlg->Pnl_Buttons));

    struct Caption {
        const char* page;
        const char* name;
        const char* text;
    };
    const Caption kCaptions[] = {
        {"TS_Common", "L_Language", "Language:"},
        {"TS_Common", "L_VarTypesSigning", "Items types signing:"},
        {"TS_Common", "ChB_ShowMessages", "Show error messages"},
        {"TS_General", "L_ServerAddress", "Server address:"},
        {"TS_General", "L_MaxBadCommCount", "Max. count of bad communications:"},
        {"TS_General", "L_CommDelay", "Dispatch delay after data receive [ms]:"},
        {"TS_General", "L_ConnectRate", "Try to connect every [s]:"},
        {"TS_General", "L_MaxPacketLen", "Max. length of data packet:"},
        {"TS_General", "L_MaxBadComToReset", "Number of bad comm. to restart communication:"},
        {"TS_General", "Chb_DifferentPacketLen", "provide communication by different packet length"},
        {"TS_General", "GB_FlowOptions", "Data flow control"},
        {"GB_FlowOptions", "ChB_DTR", "DTR"},
        {"GB_FlowOptions", "ChB_RTS", "RTS"},
        {"TS_General", "ChB_CheckTimestamp", "provide communication by checking timestamp"},
        {"TS_Modem", "L_timBeforeDial", "Before dial delay [s]:"},
        {"TS_Modem", "L_SameCallDelay", "Same device call delay [s]:"},
        {"TS_Modem", "L_TildeDelay", "Tilde delay [ms]:"},
        {"TS_Config", "GB_VarUniqueness", "Items name uniqueness"},
        {"GB_VarUniqueness", "RB1_VarUniqueness", "within the branch"},
        {"GB_VarUniqueness", "RB2_VarUniqueness", "within the device"},
        {"TS_Runtime", "GB_ArraysWatch", "Array values watch settings"},
        {"GB_ArraysWatch", "L1_ArrWatchOffset", "Watch values from"},
        {"GB_ArraysWatch", "L2_ArrWatchOffset", "item index"},
        {"GB_ArraysWatch", "L1_ArrWatchMaxLen", "Show no more than"},
        {"GB_ArraysWatch", "L2_ArrWatchMaxLen", "items"},
        {"Pnl_Buttons", "Btn_OK", "OK"},
        {"Pnl_Buttons", "Btn_Cancel", "Cancel"},
    };
    for (const Caption& c : kCaptions) {
        auto* page = Find<QWidget>(*dlg, c.page);
        auto* w = Find<QWidget>(*dlg, c.name);
        ASSERT_TRUE(page && w);
        EXPECT_TRUE(page->isAncestorOf(w)) << c.name << " on " << c.page;
        EXPECT_EQ(CaptionOf(w), c.text) << c.name;
    }
    EXPECT_EQ(ItemsOf(dlg->CB_Language), QStringList({"Czech", "English"}));
    EXPECT_EQ(ItemsOf(dlg->CB_VarTypesSigninig), QStringList({"Pascal", "IEC 61 131"}));
    EXPECT_TRUE(dlg->TS_Common->isAncestorOf(dlg->CB_Language));
    EXPECT_TRUE(dlg->TS_Common->isAncestorOf(dlg->CB_VarTypesSigninig));

    // Spin boxes: their label, their page, their bounds. The seconds end where x 1000 still
    // fits 32 bits.
    struct Spin {
        const char* page;
        const char* label;
        const char* name;
        int min;
        int max;
    };
    const Spin kSpins[] = {
        {"TS_General", "L_ServerAddress", "E_ServerAddress", 0, 255},
        {"TS_General", "L_MaxBadCommCount", "E_MaxBadCommCount", 0, INT_MAX},
        {"TS_General", "L_CommDelay", "E_CommDelay", 0, INT_MAX},
        {"TS_General", "L_ConnectRate", "E_ConnectRate", 1, 2147483},
        {"TS_General", "L_MaxPacketLen", "E_MaxPacketLen", 7, 255},
        {"TS_General", "L_MaxBadComToReset", "E_MaxBadComToReset", 0, INT_MAX},
        {"TS_Modem", "L_timBeforeDial", "E_timBeforeDial", 0, 2147483},
        {"TS_Modem", "L_SameCallDelay", "E_SameCallDelay", 0, 2147483},
        {"TS_Modem", "L_TildeDelay", "E_TildeDelay", 0, INT_MAX},
        {"GB_ArraysWatch", "L1_ArrWatchOffset", "E_ArrWatchOffset", 0, INT_MAX},
        {"GB_ArraysWatch", "L1_ArrWatchMaxLen", "E_ArrWatchMaxLen", 0, INT_MAX},
    };
    for (const Spin& s : kSpins) {
        auto* spin = Find<QSpinBox>(*dlg, s.name);
        auto* label = Find<QLabel>(*dlg, s.label);
        ASSERT_TRUE(spin && label);
        EXPECT_TRUE(Find<QWidget>(*dlg, s.page)->isAncestorOf(spin)) << s.name;
        EXPECT_EQ(label->buddy(), spin) << s.name;
        EXPECT_EQ(spin->minimum(), s.min) << s.name;
        EXPECT_EQ(spin->maximum(), s.max) << s.name;
    }
}

TEST_F(SettingsDialog, SpeaksCzechButKeepsItsFixedTexts)
{
    vx::Language = 0;
    vx::VarTypesSigning = 1;
    auto dlg = Open();
    EXPECT_EQ(dlg->PgCtrl_Settings->tabText(0), QString::fromUtf8("Obecné"));
    EXPECT_EQ(dlg->PgCtrl_Communications->tabText(0), QString::fromUtf8("Základní"));
    EXPECT_EQ(dlg->L_Language->text(), "Jazyk:");
    EXPECT_EQ(ItemsOf(dlg->CB_Language), QStringList({QString::fromUtf8("Čeština"), QString::fromUtf8("Angličtina")}));
    EXPECT_EQ(dlg->CB_Language->currentIndex(), 0);
    EXPECT_EQ(ItemsOf(dlg->CB_VarTypesSigninig), QStringList({"Pascal", "IEC 61 131"}));
    EXPECT_EQ(dlg->CB_VarTypesSigninig->currentIndex(), 1);
    EXPECT_EQ(dlg->ChB_DTR->text(), "DTR");
    EXPECT_EQ(dlg->ChB_RTS->text(), "RTS");
    EXPECT_EQ(dlg->Btn_OK->text(), "OK");
    EXPECT_EQ(dlg->Btn_Cancel->text(), "Cancel");

    // SetCaptions again in the other language rewrites the items and keeps the selection.
    vx::Language = 1;
    dlg->SetCaptions();
    EXPECT_EQ(ItemsOf(dlg->CB_Language), QStringList({"Czech", "English"}));
    EXPECT_EQ(dlg->CB_Language->currentIndex(), 0);
    EXPECT_EQ(dlg->L_Language->text(), "Language:");
}

TEST_F(SettingsDialog, LoadsTheVariables)
{
    using namespace vx;
    ShowMessages = true;
    ServerAddress = 12;
    MaxBadCommCount = 5;
    CommDelay = 30;
    ConnectRate = 45999;
    MaxPacketLen = 100;
    MaxBadComToReset = 9;
    DifferentPacketLen = true;
    UseDTR = true;
    CheckTimestamp = true;
    timBeforeDial = 20000;
    timSameCall = 61500;
    timTildeDelay = 25;
    vos::VarUniqueness = 1;
    ArrWatchOffset = 3;
    ArrWatchMaxLen = 64;
    auto dlg = Open();
    EXPECT_EQ(dlg->CB_Language->currentIndex(), 1);
    EXPECT_EQ(dlg->CB_VarTypesSigninig->currentIndex(), 0);
    EXPECT_TRUE(dlg->ChB_ShowMessages->isChecked());
    EXPECT_EQ(dlg->E_ServerAddress->value(), 12);
    EXPECT_EQ(dlg->E_MaxBadCommCount->value(), 5);
    EXPECT_EQ(dlg->E_CommDelay->value(), 30);
    EXPECT_EQ(dlg->E_ConnectRate->value(), 45);
    EXPECT_EQ(dlg->E_MaxPacketLen->value(), 100);
    EXPECT_EQ(dlg->E_MaxBadComToReset->value(), 9);
    EXPECT_TRUE(dlg->Chb_DifferentPacketLen->isChecked());
    EXPECT_TRUE(dlg->ChB_DTR->isChecked());
    EXPECT_FALSE(dlg->ChB_RTS->isChecked());
    EXPECT_TRUE(dlg->ChB_CheckTimestamp->isChecked());
    EXPECT_EQ(dlg->E_timBeforeDial->value(), 20);
    EXPECT_EQ(dlg->E_SameCallDelay->value(), 61);
    EXPECT_EQ(dlg->E_TildeDelay->value(), 25);
    EXPECT_FALSE(dlg->RB1_VarUniqueness->isChecked());
    EXPECT_TRUE(dlg->RB2_VarUniqueness->isChecked());
    EXPECT_EQ(dlg->E_ArrWatchOffset->value(), 3);
    EXPECT_EQ(dlg->E_ArrWatchMaxLen->value(), 64);

    // Any VarUniqueness but 0 is the second button.
    for (const auto& [uniqueness, first] : {std::pair{0, true}, std::pair{7, false}, std::pair{-1, false}}) {
        vos::VarUniqueness = uniqueness;
        auto again = Open();
        EXPECT_EQ(again->RB1_VarUniqueness->isChecked(), first) << uniqueness;
        EXPECT_NE(again->RB2_VarUniqueness->isChecked(), first) << uniqueness;
    }
}

TEST_F(SettingsDialog, SpinBoxesHoldValuesLoadedOutsideTheirBounds)
{
    struct Case {
        std::int32_t* variable;
        std::int32_t value;
        const char* spin;
        int shown;
    };
    using namespace vx;
    const Case kCases[] = {
        {&ConnectRate, 1500, "E_ConnectRate", 1},
        {&ConnectRate, 999, "E_ConnectRate", 1},
        {&ConnectRate, -5000, "E_ConnectRate", 1},
        {&ConnectRate, INT_MAX, "E_ConnectRate", 2147483},
        {&ServerAddress, 300, "E_ServerAddress", 255},
        {&ServerAddress, -1, "E_ServerAddress", 0},
        {&MaxPacketLen, 3, "E_MaxPacketLen", 7},
        {&MaxPacketLen, 256, "E_MaxPacketLen", 255},
        {&CommDelay, -20, "E_CommDelay", 0},
        {&MaxBadCommCount, INT_MIN, "E_MaxBadCommCount", 0},
        {&timBeforeDial, -5000, "E_timBeforeDial", 0},
        {&timSameCall, INT_MAX, "E_SameCallDelay", 2147483},
        {&timTildeDelay, -1, "E_TildeDelay", 0},
        {&ArrWatchOffset, -1, "E_ArrWatchOffset", 0},
        {&ArrWatchMaxLen, INT_MIN, "E_ArrWatchMaxLen", 0},
    };
    for (const Case& c : kCases) {
        vx::ResetSettings();
        vx::Language = 1;
        *c.variable = c.value;
        auto dlg = Open();
        EXPECT_EQ(Find<QSpinBox>(*dlg, c.spin)->value(), c.shown) << c.spin << " loaded with " << c.value;
    }
}

TEST_F(SettingsDialog, OkStoresEveryControlAppliesThemAndWritesTheFile)
{
    ReadFile("[Main]\nLanguage=1\n");
    auto dlg = Open();
    dlg->CB_VarTypesSigninig->setCurrentIndex(1);
    dlg->ChB_ShowMessages->setChecked(true);
    dlg->E_ServerAddress->setValue(12);
    dlg->E_MaxBadCommCount->setValue(5);
    dlg->E_CommDelay->setValue(30);
    dlg->E_ConnectRate->setValue(45);
    dlg->E_MaxPacketLen->setValue(100);
    dlg->E_MaxBadComToReset->setValue(9);
    dlg->Chb_DifferentPacketLen->setChecked(true);
    dlg->ChB_CheckTimestamp->setChecked(true);
    dlg->ChB_RTS->setChecked(true);
    dlg->E_timBeforeDial->setValue(21);
    dlg->E_SameCallDelay->setValue(62);
    dlg->E_TildeDelay->setValue(26);
    dlg->RB2_VarUniqueness->setChecked(true);
    dlg->E_ArrWatchOffset->setValue(3);
    dlg->E_ArrWatchMaxLen->setValue(64);

    // The main window's part runs with the new values, before the file has them.
    Snapshot seen;
    bool fileHadThem = true;
    onApply = [&] {
        seen = Take();
        fileHadThem = FileHas("ServerAddress=12");
    };
    dlg->Btn_OK->click();
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_EQ(applied, 1);
    EXPECT_FALSE(fileHadThem);
    EXPECT_TRUE(boxes.empty());

    const Snapshot expected{{1, 1, true, 12, 5, 30, 45000, 100, 9, true, true, true, false, true, false, 26, 21000,
                             62000, 1, 64, 3}};
    EXPECT_EQ(Take(), expected);
    EXPECT_EQ(seen, expected);

    // What the file now holds reads back as the same settings.
    vx::ResetSettings();
    vos::ResetAppSettings();
    vx::IniFileName = Path("VornOPCServer.ini");
    vos::ReadSettings();
    EXPECT_EQ(Take(), expected);
}

TEST_F(SettingsDialog, CancelLeavesVariablesAndFileUntouched)
{
    const std::string ini = "[Main]\nLanguage=1\n[Communication]\nServerAddress=7\nConnectRate=1500\n";
    ReadFile(ini);
    const Snapshot before = Take();
    auto dlg = Open();
    dlg->CB_Language->setCurrentIndex(0);
    dlg->E_ServerAddress->setValue(99);
    dlg->E_ConnectRate->setValue(77);
    dlg->ChB_DTR->setChecked(true);
    dlg->RB2_VarUniqueness->setChecked(true);
    dlg->Btn_Cancel->click();
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
    EXPECT_EQ(applied, 0);
    EXPECT_EQ(Take(), before);
    EXPECT_EQ(FileText(), ini);
}

TEST_F(SettingsDialog, RoundsSecondsAndReplacesHandshakeRequirementsOnOk)
{
    // 1500 ms shows as 1 s and comes back as 1000 ms; a requirement that differed from its
    // switch follows the switch and is no longer written.
    ReadFile(
        "[Main]\nLanguage=1\n[Communication]\nConnectRate=1500\n"
        "[DataFlowControl]\nUseRTS=0\nRequireCTS=1\nUseDTR=1\nRequireDSR=0\n");
    ASSERT_TRUE(vx::RequireCTS);
    ASSERT_FALSE(vx::RequireDSR);
    auto dlg = Open();
    EXPECT_EQ(dlg->E_ConnectRate->value(), 1);
    dlg->Btn_OK->click();
    EXPECT_EQ(vx::ConnectRate, 1000);
    EXPECT_FALSE(vx::RequireCTS);
    EXPECT_TRUE(vx::RequireDSR);
    EXPECT_TRUE(FileHas("ConnectRate=1000"));
    EXPECT_EQ(FileText().find("RequireCTS"), std::string::npos);
    EXPECT_EQ(FileText().find("RequireDSR"), std::string::npos);
}

TEST_F(SettingsDialog, ShortPacketLengthIsUsedAtOnceAndRaisedAtTheNextStart)
{
    ReadFile("[Main]\nLanguage=1\n");
    for (const int len : {7, 8, 9}) {
        auto dlg = Open();
        dlg->E_MaxPacketLen->setValue(len);
        dlg->Btn_OK->click();
        EXPECT_EQ(vx::MaxPacketLen, len);
        EXPECT_TRUE(FileHas("MaxPacketLen=" + std::to_string(len)));
        vos::ReadSettings();
        EXPECT_EQ(vx::MaxPacketLen, 10) << len;
    }
}

TEST_F(SettingsDialog, RestartCountIsRaisedAboveTheBadCountWithoutOverflow)
{
    struct Case {
        int toReset;
        int badCount;
        std::int32_t stored;
    };
    const Case kCases[] = {
        {1, 3, 4}, {2, 3, 4}, {0, 3, 0}, {3, 3, 3}, {5, 3, 5}, {1, INT_MAX, INT_MAX}, {INT_MAX - 1, INT_MAX, INT_MAX},
    };
    for (const Case& c : kCases) {
        auto dlg = Open();
        dlg->E_MaxBadComToReset->setValue(c.toReset);
        dlg->E_MaxBadCommCount->setValue(c.badCount);
        dlg->Btn_OK->click();
        EXPECT_EQ(vx::MaxBadCommCount, c.badCount);
        EXPECT_EQ(vx::MaxBadComToReset, c.stored) << c.toReset << " with " << c.badCount;
        EXPECT_TRUE(FileHas("MaxBadComToReset=" + std::to_string(c.stored)));
    }
}

TEST_F(SettingsDialog, LongestSecondsStillFitInMilliseconds)
{
    struct Case {
        const char* spin;
        const std::int32_t* variable;
        const char* key;
    };
    const Case kCases[] = {
        {"E_ConnectRate", &vx::ConnectRate, "ConnectRate"},
        {"E_timBeforeDial", &vx::timBeforeDial, "timBeforeDial"},
        {"E_SameCallDelay", &vx::timSameCall, "timSameCall"},
    };
    for (const Case& c : kCases) {
        auto dlg = Open();
        auto* spin = Find<QSpinBox>(*dlg, c.spin);
        spin->setValue(INT_MAX);  // typed in: held at the bound
        EXPECT_EQ(spin->value(), 2147483) << c.spin;
        dlg->Btn_OK->click();
        EXPECT_EQ(*c.variable, 2147483000) << c.spin;
        // Read back from the file as the same value.
        vos::ReadSettings();
        EXPECT_EQ(*c.variable, 2147483000) << c.key;
    }
}

TEST_F(SettingsDialog, ComboWithoutSelectionLeavesItsSettingUnchanged)
{
    struct Case {
        std::int32_t* variable;
        std::int32_t value;
        const char* combo;
        const char* key;
    };
    const Case kCases[] = {
        {&vx::Language, 5, "CB_Language", "Language"},
        {&vx::Language, -1, "CB_Language", "Language"},
        {&vx::VarTypesSigning, 5, "CB_VarTypesSigninig", "VarTypesSigning"},
        {&vx::VarTypesSigning, -1, "CB_VarTypesSigninig", "VarTypesSigning"},
    };
    for (const Case& c : kCases) {
        vx::Language = 1;
        vx::VarTypesSigning = 0;
        *c.variable = c.value;
        auto dlg = Open();
        EXPECT_EQ(Find<QComboBox>(*dlg, c.combo)->currentIndex(), -1) << c.key << "=" << c.value;
        dlg->Btn_OK->click();
        EXPECT_EQ(*c.variable, c.value) << c.key;
        EXPECT_TRUE(FileHas(std::string(c.key) + "=" + std::to_string(c.value))) << c.key;
    }
    // A selected item is stored.
    vx::Language = 5;
    auto dlg = Open();
    dlg->CB_Language->setCurrentIndex(0);
    dlg->Btn_OK->click();
    EXPECT_EQ(vx::Language, 0);
}

TEST_F(SettingsDialog, FileThatCannotBeWrittenIsReportedWhateverShowMessagesSays)
{
    const std::string tooLarge(vos::IniFile::kMaxFileSize + 1, 'x');
    struct Case {
        const char* what;
        std::function<std::string()> place;  // the settings file's name
        const char* reason;
    };
    const Case kCases[] = {
        {"a folder",
         [&] {
             std::filesystem::create_directory(Path("folder.ini"));
             return Path("folder.ini");
         },
         "it is a directory"},
        {"too large for settings",
         [&] {
             Put(Path("large.ini"), tooLarge);
             return Path("large.ini");
         },
         "larger than"},
    };
    for (const Case& c : kCases)
        for (const bool showMessages : {false, true}) {
            boxes.clear();
            applied = 0;
            vx::IniFileName = c.place();
            vx::ShowMessages = !showMessages;
            auto dlg = Open();
            dlg->ChB_ShowMessages->setChecked(showMessages);
            dlg->E_ServerAddress->setValue(42);
            dlg->Btn_OK->click();
            ASSERT_EQ(boxes.size(), 1u) << c.what << " ShowMessages " << showMessages;
            EXPECT_EQ(boxes[0].type, vx::mtError);
            EXPECT_NE(boxes[0].text.find(c.reason), std::string::npos) << boxes[0].text;
            EXPECT_NE(boxes[0].text.find(vx::IniFileName), std::string::npos) << boxes[0].text;
            // The values stay in use; the dialog closes as for any OK.
            EXPECT_EQ(vx::ServerAddress, 42);
            EXPECT_EQ(vx::ShowMessages, showMessages);
            EXPECT_EQ(applied, 1);
            EXPECT_EQ(dlg->result(), QDialog::Accepted);
        }
    EXPECT_EQ(Slurp(Path("large.ini")), tooLarge);
}

TEST_F(SettingsDialog, OtherLanguageShowsTheNextTimeTheDialogOpens)
{
    ReadFile("[Main]\nLanguage=0\n");
    auto dlg = Open();
    EXPECT_EQ(dlg->L_Language->text(), "Jazyk:");
    onApply = [&] { EXPECT_EQ(vx::GetLangText(216), "Language:"); };
    dlg->CB_Language->setCurrentIndex(1);
    dlg->Btn_OK->click();
    EXPECT_EQ(vx::Language, 1);
    EXPECT_TRUE(FileHas("Language=1"));
    auto next = Open();
    EXPECT_EQ(next->L_Language->text(), "Language:");
    EXPECT_EQ(next->PgCtrl_Settings->tabText(0), "Common");
    EXPECT_EQ(next->CB_Language->currentIndex(), 1);
}

// The main window's captions follow the language chosen, as soon as OK is pressed.
class SettingsDialogInMainWindow : public apptest::MainFixture {};

TEST_F(SettingsDialogInMainWindow, OkChangesTheMainWindowsCaptionsAtOnce)
{
    StartOnConfig("");
    auto* button = window->Frm_Config()->findChild<QToolButton*>(QStringLiteral("TBtn_New"));
    ASSERT_NE(button, nullptr);
    const QString english = button->toolTip();
    ASSERT_EQ(english.toStdString(), vx::GetLangText(499));
    TDlg_Settings dlg(window.get(), [this] {
        window->Frm_Config()->RefreshTypeComboTexts();
        window->ApplyLanguage();
        window->UpdateMainCaption();
    });
    dlg.CB_Language->setCurrentIndex(0);
    dlg.Btn_OK->click();
    ASSERT_EQ(vx::Language, 0);
    EXPECT_EQ(button->toolTip().toStdString(), vx::GetLangText(499));
    EXPECT_NE(button->toolTip(), english);
    EXPECT_TRUE(errorBoxes.empty());
}

// --- About box ---

class AboutBox : public ::testing::Test {
protected:
    void TearDown() override
    {
        vos::TAsUrlLabel::SetUrlOpener({});
        vx::Language = 0;
    }
};

TEST_F(AboutBox, ShowsTheBuildsVersionInEitherLanguage)
{
    for (const auto& [language, label] : {std::pair{0, "Verze:"}, std::pair{1, "Version:"}}) {
        vx::Language = language;
        vos::TDlg_About box;
        EXPECT_EQ(box.objectName(), "TDlg_About");
        EXPECT_EQ(box.L_VersionLabel->objectName(), "L_VersionLabel");
        EXPECT_EQ(box.L_VersionLabel->text(), QString::fromUtf8(label));
        EXPECT_EQ(box.L_Version->objectName(), "L_Version");
        EXPECT_EQ(box.L_Version->text(), VX_TEST_VERSION);
        // Fixed in both languages.
        EXPECT_EQ(box.L_HomePage->text(), "Home page:");
        EXPECT_EQ(box.L_EMail->text(), "E-mail:");
        EXPECT_EQ(box.Button1->objectName(), "Button1");
        EXPECT_EQ(box.Button1->text(), "OK");
    }
}

TEST_F(AboutBox, IsAFixedWhiteBoxWithLogosAndWorkingLinks)
{
    vos::TDlg_About box;
    box.layout()->activate();
    EXPECT_EQ(box.minimumSize(), box.maximumSize());
    EXPECT_TRUE(box.autoFillBackground());
    EXPECT_EQ(box.palette().color(QPalette::Window), QColor(Qt::white));
    for (const QLabel* logo : {box.Image1, box.Image2})
        EXPECT_FALSE(logo->pixmap().isNull()) << logo->objectName().toStdString();

    std::vector<QUrl> opened;
    vos::TAsUrlLabel::SetUrlOpener([&](const QUrl& url) {
        opened.push_back(url);
        return true;
    });
    const auto links = box.findChildren<vos::TAsUrlLabel*>();
    ASSERT_EQ(links.size(), 3);
    for (vos::TAsUrlLabel* link : links) {
        EXPECT_FALSE(link->text().isEmpty());
        EXPECT_TRUE(link->Click()) << link->Url().toStdString();
    }
    ASSERT_EQ(opened.size(), 3u);
    EXPECT_EQ(opened[1].scheme(), "mailto");

    box.show();
    box.Button1->click();
    EXPECT_EQ(box.result(), QDialog::Accepted);
    EXPECT_FALSE(box.isVisible());
}

}  // namespace
