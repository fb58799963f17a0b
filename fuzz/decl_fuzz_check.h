#pragma once
// What both declaration fuzz targets check after their reader: the import of the same bytes
// into a small configuration gives counts that match the nodes created and changed, and the
// tree stays well formed.
#include <cstddef>
#include <cstdint>

#include <QLoggingCategory>

#include "comm/vx_def.h"
#include "editor/config_file_format.h"
#include "editor/config_settings.h"
#include "editor/decl_import.h"
#include "fuzz_check.h"

namespace decl_fuzz {

// A server with one station holding a few variables (alias bases) and a folder; the import
// goes into the station and into the folder by turns, with both uniqueness settings.
template <class Import>
void ImportAndCheck(const std::uint8_t* data, std::size_t size, Import import)
{
    static const bool quiet = [] {
        QLoggingCategory::setFilterRules(QStringLiteral("vx.*=false"));
        return true;
    }();
    (void)quiet;
    vx::ResetSettings();
    vos::ResetConfigSettings();
    vos::VarUniqueness = size > 0 && (data[size - 1] & 1) ? 1 : 0;
    vos::TConfigEditor editor;
    auto* server = editor.CreateNode(vos::nkServer, nullptr);
    auto* station = editor.NewObjectExecute(vos::ntStation, server);
    FUZZ_CHECK(station);
    struct Base {
        const char* name;
        std::int32_t zone, address, varType;
    };
    for (const Base& b : {Base{"V1", 3, 10, 2}, Base{"W", 3, 0x7FFFFFF0, 18}, Base{"B", 0, 5, 11}, Base{"D", 3, 0, 5}}) {
        auto* v = editor.CreateNode(vos::nkVariable, station);
        FUZZ_CHECK(v);
        v->Rec().Name = b.name;
        v->Rec().Zone = b.zone;
        v->Rec().Address = b.address;
        v->Rec().VarType = b.varType;
    }
    auto* folder = editor.CreateNode(vos::nkFolder, station);
    FUZZ_CHECK(folder);
    auto* target = size > 1 && (data[size - 2] & 1) ? folder : station;

    vos::TDeclImporter importer(editor);
    const std::size_t before = editor.Tree().NodeCount();
    const int result = import(importer, target);
    FUZZ_CHECK(result == vos::kImportDone || result == vos::kImportWrongFormat);
    FUZZ_CHECK(importer.ImportedNew() >= 0 && importer.ImportedChanged() >= 0);
    FUZZ_CHECK(editor.Tree().NodeCount() == before + static_cast<std::size_t>(importer.ImportedNew()));
    FUZZ_CHECK(importer.ImportedNodes().size() ==
               static_cast<std::size_t>(importer.ImportedNew() + importer.ImportedChanged()));
    FUZZ_CHECK(editor.Tree().UpdateCount() == 0 && editor.UpdateLock() == 0);
    // Under the target, or with names unique per station anywhere in the station.
    for (const auto* node : importer.ImportedNodes()) {
        FUZZ_CHECK(node->Rec().Kind == vos::nkVariable && node->Rec().Editable && !node->Rec().ServiceCode);
        const auto* parent = node->Parent();
        FUZZ_CHECK(parent == target ||
                   (vos::VarUniqueness != 0 && (parent == station || parent->Parent() == station)));
    }
    FUZZ_CHECK(!vos::CheckConfigStructure(editor.Tree()));

    vx::ResetSettings();
    vos::ResetConfigSettings();
}

}  // namespace decl_fuzz
