#pragma once
// The application delegate of a test, over the session's display, with the
// build's bundle and its sound cues off (they would reach the sound server
// other tests record from).
#include <gtest/gtest.h>

#include <gtk/gtk.h>

#include "App/AppDelegate.h"
#include "Base/AppPaths.h"
#include "App/SoundCues.h"
#include "Platform/Bundle.h"
#include "Platform/Queues.h"

class DelegateFixture : public ::testing::Test {
protected:
    // False (and the test skipped) without a display.
    bool startDelegate() {
        if (!std::getenv("DISPLAY") || !gtk_init_check(nullptr, nullptr)) return false;
        platform::MainQueue::markCurrentThreadAsMain();
        platform::Bundle::overrideBundleDirectory(std::filesystem::path(ONDIRA_BUNDLE_DIR));
        AppPaths::userDefaults()->setBool(SoundCues::enabledKey, false);
        delegate = new AppDelegate();
        return true;
    }
    void TearDown() override { platform::Bundle::overrideBundleDirectory(std::nullopt); }

    AppDelegate* delegate = nullptr;
};
