#pragma once
// The roads of process entry other than the self-test and the command line.
// Each lives in its own file beside the service it drives.
namespace Roads {
int runPolishSmokeTest();                          // PolishSmokeTest.cpp
int runHudDemo(int argc, char** argv);             // HudDemo.cpp
int runMicCheck();                                 // MicCheck.cpp
int runMenuBarApplication(int argc, char** argv);  // AppMain.cpp
}  // namespace Roads
