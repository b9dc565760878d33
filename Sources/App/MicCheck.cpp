#include <chrono>
#include <cstdio>
#include <iostream>
#include <thread>

#include "App/Roads.h"
#include "Engine/MicrophoneRecorder.h"
#include "Platform/LinuxNames.h"

// Records two seconds from the default input and says whether real audio
// arrives, for support: silence points at the system, sound at our side.
int Roads::runMicCheck() {
    MicrophoneRecorder& engine = MicrophoneRecorder::shared();
    const bool authorized = MicrophoneRecorder::isMicrophoneAuthorized();
    std::cout << LinuxNames::micCheckStatusLabel << (authorized ? "authorized" : LinuxNames::micCheckDeniedWord)
              << std::endl;
    const std::string input = engine.currentInputName();
    std::cout << "default input device  : " << input << std::endl;
    try {
        engine.startRecording();
    } catch (const AudioEngineError& error) {
        std::cout << "startRecording threw  : " << error.errorDescription() << std::endl;
        return 0;
    }
    std::cout << "capturing 2s\u2026" << std::endl;
    std::this_thread::sleep_for(std::chrono::seconds(2));
    engine.stopRecording();
    char line[64];
    std::snprintf(line, sizeof line, "peak RMS observed     : %.5f", static_cast<double>(engine.lastPeakRMS()));
    std::cout << line << std::endl;
    if (engine.lastPeakRMS() < 0.0005f)
        std::cout << "VERDICT: SILENCE \u2014 the OS is not giving this app real audio." << std::endl;
    else std::cout << "VERDICT: audio IS arriving; the fault is downstream of capture." << std::endl;
    return 0;
}
