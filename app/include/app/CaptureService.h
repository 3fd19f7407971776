// Starting the user's capture service (tessaline-capture) from the utility, so the
// devices configured here show up as cameras even where nothing started it at login.
#pragma once

#include <string>

// True when a capture service holds this user's instance lock.
[[nodiscard]] bool CaptureServiceRunning();

// Starts tessaline-capture, detached, when none runs: the one beside this program,
// else the one in ../../bin (the installed layout), else the one on PATH. Does nothing
// when TESSALINE_NO_CAPTURE_SERVICE is set. false when it could not be started.
bool StartCaptureService(const std::string &programPath);
