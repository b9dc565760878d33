#pragma once
// Every text-processing test runs against a private home: the dictionary,
// settings, snippets and corrections all land in a fresh directory.
#include <gtest/gtest.h>

#include "Base/AppPaths.h"
#include "Platform/Bundle.h"
#include "Text/Vocabulary.h"
#include "support/TempDir.h"

class IsolatedTextTest : public ::testing::Test {
protected:
    TempDir home{"ondira-text-"};
    ScopedEnv isolation{AppPaths::selfTestStateDirVariable, home.path.string()};

    void SetUp() override {
        // The shipped vocabulary packs come from the build tree's bundle.
        platform::Bundle::overrideBundleDirectory(std::filesystem::path(ONDIRA_BUNDLE_DIR));
        AppPaths::userDefaults()->removePersistentDomain(AppPaths::selfTestSuiteName);
        Vocabulary::shared().reloadDictionary();
    }
    void TearDown() override {
        AppPaths::userDefaults()->removePersistentDomain(AppPaths::selfTestSuiteName);
        std::error_code ec;
        std::filesystem::remove(AppPaths::dictionaryFile(), ec);
        Vocabulary::shared().reloadDictionary();
        platform::Bundle::overrideBundleDirectory(std::nullopt);
    }
};
