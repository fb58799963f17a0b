#pragma once
// Collects what QAbstractItemModelTester reports about a model, so that a test can fail on it.
#include <QString>
#include <QtGlobal>
#include <string>
#include <string_view>
#include <vector>

namespace editor_test {

// The model tester reports through the "qt.modeltest" category; each report fails the test.
inline std::vector<std::string>* modelTestReports = nullptr;
inline QtMessageHandler previousHandler = nullptr;

inline void CaptureModelTest(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (modelTestReports && type != QtDebugMsg && type != QtInfoMsg && context.category &&
        std::string_view(context.category) == "qt.modeltest") {
        modelTestReports->push_back(text.toStdString());
        return;
    }
    if (previousHandler)
        previousHandler(type, context, text);
}

class ModelTestCapture {
public:
    ModelTestCapture()
    {
        modelTestReports = &reports;
        previousHandler = qInstallMessageHandler(CaptureModelTest);
    }
    ~ModelTestCapture()
    {
        qInstallMessageHandler(previousHandler);
        modelTestReports = nullptr;
    }
    std::string Text() const
    {
        std::string out;
        for (const auto& r : reports)
            out += r + "\n";
        return out;
    }
    std::vector<std::string> reports;
};

}  // namespace editor_test
