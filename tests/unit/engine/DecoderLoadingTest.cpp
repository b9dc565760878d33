// FFmpeg's demuxers and decoders stay out of the program's start-up (they
// bring some forty libraries of codecs) and are loaded by the first file read.
#include "Engine/FileTranscriberAudio.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <glib.h>

extern "C" {
#include <libavcodec/version_major.h>
#include <libavformat/version_major.h>
#include <libavutil/macros.h>
}

#include "support/TempDir.h"
#include "unit/engine/SpeechFixtures.h"

namespace {

const char* const kDecodingLibraries[] = {"libavformat.so." AV_STRINGIFY(LIBAVFORMAT_VERSION_MAJOR),
                                          "libavcodec.so." AV_STRINGIFY(LIBAVCODEC_VERSION_MAJOR)};

// What the dynamic linker loads when the program starts, before any of its code runs.
std::string librariesAtStart(const std::string& program) {
    gchar* out = nullptr;
    gint status = -1;
    const gchar* argv[] = {program.c_str(), nullptr};
    const gchar* envp[] = {"LD_TRACE_LOADED_OBJECTS=1", nullptr};
    const bool ran = g_spawn_sync(nullptr, const_cast<gchar**>(argv), const_cast<gchar**>(envp), G_SPAWN_STDERR_TO_DEV_NULL,
                                  nullptr, nullptr, &out, nullptr, &status, nullptr);
    std::string listing = ran && out ? out : "";
    g_free(out);
    return listing;
}

bool loadedHere(const char* library) {
    void* handle = ::dlopen(library, RTLD_LAZY | RTLD_NOLOAD);
    if (handle) ::dlclose(handle);
    return handle != nullptr;
}

TEST(FileDecoders, StayOutOfTheStartUpAndComeWithTheFirstFileRead) {
    const std::string listing = librariesAtStart(std::string(ONDIRA_BUNDLE_DIR) + "/Ondira");
    ASSERT_NE(listing.find("libgtk-3.so"), std::string::npos) << "no listing of the program's libraries:\n" << listing;
    EXPECT_NE(listing.find("libswresample.so"), std::string::npos) << "every take resamples: it stays linked";
    for (const char* library : kDecodingLibraries)
        EXPECT_EQ(listing.find(library), std::string::npos) << library << " is loaded at every start";

    TempDir dir("ondira-decoders-");
    const auto wav = dir.path / "tone.wav";
    speechfixtures::writeWavSamples(wav, std::vector<std::int16_t>(16000, 1000));
    FileTranscriber::AudioFileReader reader(wav);
    EXPECT_EQ(reader.frameCount(), 16000);
    for (const char* library : kDecodingLibraries) EXPECT_TRUE(loadedHere(library)) << library;
}

}  // namespace
