#include "Base/DictationErrorKind.h"
#include "CLI/OndiraCLI.h"
#include "Engine/MicrophoneRecorder.h"
#include "Platform/AudioInput.h"
#include "Platform/SystemReadiness.h"
#include "Platform/Unicode.h"

#include <gtest/gtest.h>

#include "support/RequireService.h"
#include "support/TempDir.h"

// Each way the microphone can be unusable is named as itself, with its own
// remedy, by the recorder's error (what the indicator shows) and by doctor.
TEST(MicrophoneFault, EachCauseIsReportedAsItselfWithTheRemedyDoctorGives) {
    using P = platform::AudioInputProblem;
    struct Row {
        bool serverReachable, inputExists, inputOpens;
        P problem;
        MicrophoneFault fault;
        const char* cause;  // the words that name it in the pill
    };
    const Row rows[] = {
        {false, false, false, P::serverUnreachable, MicrophoneFault::soundServerNotRunning, "Sound server not running"},
        {true, false, false, P::noSource, MicrophoneFault::noInputDevice, "No microphone"},
        {true, true, false, P::sourceRefused, MicrophoneFault::deviceBusy, "Microphone busy"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(MicrophoneFaults::problem(row.fault));
        EXPECT_EQ(MicrophoneFaults::classify(row.serverReachable, row.inputExists, row.inputOpens), row.fault);
        const AudioEngineError error = AudioEngineError::forInputProblem(row.problem, "detail");
        EXPECT_EQ(error.microphoneFault(), row.fault);
        const std::string shown = error.errorDescription();
        EXPECT_EQ(shown, MicrophoneFaults::message(row.fault));
        EXPECT_EQ(shown.rfind(row.cause, 0), 0u) << shown;
        EXPECT_EQ(shown.find("access"), std::string::npos) << "no cause is a permission on this system: " << shown;
        // The pill shows 60 characters before it cuts the rest.
        EXPECT_LE(platform::text::graphemeCount(shown), 60u) << shown;
    }
    EXPECT_EQ(MicrophoneFaults::classify(true, true, true), std::nullopt);

    // Doctor prints the same remedy for the same state.
    OndiraCLI::DoctorState noServer;
    noServer.soundServerError = "Connection refused";
    OndiraCLI::DoctorState noInput;
    noInput.soundServer = "pulseaudio 16.1";
    const std::pair<const OndiraCLI::DoctorState*, MicrophoneFault> states[] = {
        {&noServer, MicrophoneFault::soundServerNotRunning}, {&noInput, MicrophoneFault::noInputDevice}};
    for (const auto& [state, fault] : states) {
        std::string all;
        for (const auto& line : OndiraCLI::doctorLines(*state)) all += line + "\n";
        EXPECT_NE(all.find(MicrophoneFaults::remedy(fault)), std::string::npos) << all;
    }
}

// The real sound server of the test session, and one that does not run.
TEST(MicrophoneFault, AStoppedSoundServerIsToldApartFromAMissingMicrophone) {
    ONDIRA_REQUIRE_SERVICE(platform::readiness::probeSoundServer().reachable,
                           "no sound server (run inside the test session)");
    {
        platform::AudioInput running("Ondira fault test");
        EXPECT_EQ(running.availability(), std::nullopt);
    }
    ScopedEnv stopped{"PULSE_SERVER", "unix:/nonexistent/ondira-no-server"};
    platform::AudioInput input("Ondira fault test");
    EXPECT_EQ(input.availability(), platform::AudioInputProblem::serverUnreachable);
    std::string why;
    platform::AudioInputProblem problem = platform::AudioInputProblem::sourceRefused;
    EXPECT_FALSE(input.start(&why, &problem));
    EXPECT_EQ(problem, platform::AudioInputProblem::serverUnreachable) << why;
    EXPECT_EQ(AudioEngineError::forInputProblem(problem, why).errorDescription(),
              MicrophoneFaults::message(MicrophoneFault::soundServerNotRunning));
}
