// What a new user's home holds after using Ondira under the common umask
// (022): the rewrite helper's socket started before Ondira ever ran, a
// launch with its hub, a dictation and the personal model built from it.
// Nothing under Ondira's data and settings folders may be open to the group
// or to others, whichever process made it (ours, the recogniser's writer,
// the web engine's).
#include "dictation/LaunchedApp.h"

#include <sys/stat.h>

#include "support/FakeModelServer.h"
#include "support/Speech.h"

using namespace launched;

namespace {

class PrivateFolders : public LaunchedApp {
protected:
    void SetUp() override {
        umaskBefore_ = ::umask(022);
        // A home short enough for the helper's default socket path, which a
        // Unix socket address limits to 107 bytes.
        std::string shortHome = (fs::temp_directory_path() / "ondira-pf-XXXXXX").string();
        ASSERT_NE(::mkdtemp(shortHome.data()), nullptr);
        shortHome_ = shortHome;
        home = shortHome_ / "home";
        data = home / ".local/share/Ondira";
        settings = home / ".config/Ondira";
        ASSERT_TRUE(testspeech::synthesize("please send the report to the team by friday", speech));
    }
    void TearDown() override {
        ::umask(umaskBefore_);
        std::error_code ec;
        if (!shortHome_.empty()) fs::remove_all(shortHome_, ec);
    }

    // Every entry at or under Ondira's folders whose mode lets anyone but the
    // user in, with its mode; the folders missing are named too.
    std::string openToOthers() const {
        std::string found;
        for (const fs::path& top : {data, settings}) {
            if (!fs::exists(top)) {
                found += top.string() + " is missing\n";
                continue;
            }
            std::vector<fs::path> entries{top};
            std::error_code ec;
            for (auto it = fs::recursive_directory_iterator(top, ec); !ec && it != fs::recursive_directory_iterator();
                 it.increment(ec))
                entries.push_back(it->path());
            for (const fs::path& entry : entries) {
                struct stat st {};
                if (::lstat(entry.c_str(), &st) != 0 || S_ISLNK(st.st_mode) || (st.st_mode & 077) == 0) continue;
                char mode[8];
                std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
                found += std::string(mode) + " " + fs::relative(entry, home).string() + "\n";
            }
        }
        return found;
    }

    mode_t umaskBefore_ = 022;
    fs::path shortHome_;
    fs::path speech = dir / "speech.wav";
    fs::path data;
    fs::path settings;
};

}  // namespace

TEST_F(PrivateFolders, NothingUnderOndirasFoldersIsOpenToOthers) {
    // The rewrite helper's socket, started first, makes the data folder.
    FakeModelServer server;
    fs::create_directories(home);
    const fs::path sock = data / "run/mirvane.sock";
    {
        Child helper({"/usr/bin/env", "HOME=" + home.string(), "XDG_DATA_HOME=" + (home / ".local/share").string(),
                      "MIRVANE_ENDPOINT=" + server.url(), std::string(ONDIRA_BUNDLE_DIR) + "/mirvane", "--serve",
                      "--socket", "--idle", "60"});
        ASSERT_TRUE(waitUntil(15, [&] { return fs::exists(sock); })) << "the helper did not listen on " << sock;
        struct stat st {};
        ASSERT_EQ(::lstat(data.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u) << "the data folder as the helper made it";
    }

    launch();
    // Dictations: the history, and a first personal model built from it
    // after the take that finds the history no longer empty.
    for (int take = 0; take < 2; ++take) {
        const std::size_t before = fileText(field).size();
        keyboard.key(XK_Control_R, true);
        sleepFor(0.3);
        play(speech);
        sleepFor(0.3);
        keyboard.key(XK_Control_R, false);
        ASSERT_TRUE(waitUntil(30, [&] { return fileText(field).size() > before; })) << fileText(log);
    }
    const fs::path model = data / "personal_model";
    ASSERT_TRUE(waitUntil(90, [&] { return fs::exists(model / "metadata.json") && fs::exists(model / "model.bin"); }))
        << "no personal model was built\n"
        << fileText(log);
    EXPECT_EQ(openToOthers(), "") << "while Ondira runs";

    // What is written on the way out counts too.
    app.reset();
    window.reset();
    EXPECT_EQ(openToOthers(), "") << "after Ondira ended";
}
