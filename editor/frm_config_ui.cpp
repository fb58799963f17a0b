// The frame's side of the file commands: the file dialogs behind their seams, and the
// progress window.
#include <QFileDialog>
#include <QStringList>

#include "frm_config.h"
#include "widgets/splash.h"

namespace vos {

QString QtFileFilter(const std::string& filter)
{
    const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
    QStringList entries;
    for (qsizetype i = 0; i < parts.size(); i += 2) {
        const QString name = parts[i].trimmed();
        // Qt separates several patterns with blanks, the catalogue with semicolons.
        QString pattern = i + 1 < parts.size() ? parts[i + 1].trimmed() : QString();
        pattern.replace(QLatin1Char(';'), QLatin1Char(' '));
        if (pattern.isEmpty())
            pattern = QStringLiteral("*");
        if (name.isEmpty() && pattern == QLatin1String("*"))
            continue;
        const QString shown = QStringLiteral("(") + pattern + QStringLiteral(")");
        entries << (name.endsWith(shown) ? name : (name.isEmpty() ? shown : name + QLatin1Char(' ') + shown));
    }
    return entries.join(QStringLiteral(";;"));
}

namespace {

std::optional<std::string> RunFileDialog(QWidget* owner, const TFileDialogRequest& request, bool save)
{
    QFileDialog dialog(owner, QString::fromStdString(request.Title), QString(), QtFileFilter(request.Filter));
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (save) {
        dialog.setDefaultSuffix(QString::fromStdString(request.DefaultExt));
        // The configuration's own file is written over unasked, as by the save button.
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
    }
    if (!request.FileName.empty())
        dialog.selectFile(QString::fromStdString(request.FileName));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst().toStdString();
}

}  // namespace

TFrmConfigFileUi::TFrmConfigFileUi(QWidget* owner, TFrmConfigSeams seams, std::function<void()> saved)
    : owner_(owner), seams_(std::move(seams)), saved_(std::move(saved))
{
}

TFrmConfigFileUi::~TFrmConfigFileUi() = default;

std::optional<std::string> TFrmConfigFileUi::SaveFileDialog(const TFileDialogRequest& request)
{
    if (seams_.SaveFileDialog)
        return seams_.SaveFileDialog(request);
    return RunFileDialog(owner_, request, true);
}

std::optional<std::string> TFrmConfigFileUi::OpenFileDialog(const TFileDialogRequest& request)
{
    if (seams_.OpenFileDialog)
        return seams_.OpenFileDialog(request);
    return RunFileDialog(owner_, request, false);
}

void TFrmConfigFileUi::ProgressOpen(const std::string& caption)
{
    splash_ = std::make_unique<TF_Splash>(QString::fromStdString(caption), owner_);
}

void TFrmConfigFileUi::ProgressMaximum(std::size_t maximum)
{
    if (!splash_)
        return;
    splash_->SetMaximum(maximum);
    if (maximum > 0)
        splash_->ShowProgress();
    else
        splash_->hide();
}

void TFrmConfigFileUi::ProgressPosition(std::size_t position)
{
    if (splash_)
        splash_->SetPosition(position);
}

void TFrmConfigFileUi::ProgressClose() { splash_.reset(); }

void TFrmConfigFileUi::ConfigurationSaved()
{
    if (saved_)
        saved_();
}

}  // namespace vos
