#pragma once
// An editor holding a fresh server node, in English, with a pinned collation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "comm/vx_def.h"
#include "editor/config_editor.h"
#include "editor/config_settings.h"
#include "platform/text.h"

namespace editor_test {

class EditorFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        vx::ResetSettings();
        vos::ResetConfigSettings();
        vx::Language = 1;
        plat::setCollationLocale("en_US");
        editor.SetHooks({[this](bool v) { registerHook.push_back(v); }, [this](bool v) { saveHook.push_back(v); }});
        server = editor.CreateNode(vos::nkServer, nullptr);
        ASSERT_NE(server, nullptr);
    }
    void TearDown() override
    {
        plat::setCollationLocale("");
        vx::ResetSettings();
        vos::ResetConfigSettings();
    }

    vos::TConfigNode* Create(vos::TConfigNodeKind kind, vos::TConfigNode* parent, const std::string& name = {})
    {
        auto* node = editor.CreateNode(kind, parent);
        EXPECT_NE(node, nullptr) << name;
        if (node && !name.empty())
            node->Rec().Name = name;
        return node;
    }

    vos::TConfigEditor editor;
    vos::TConfigNode* server = nullptr;
    std::vector<bool> registerHook;
    std::vector<bool> saveHook;
};

}  // namespace editor_test
