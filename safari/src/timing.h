// The relays' waits. The long ones can be shortened by a scale factor, for tests only; the scale is 1
// (the real values) unless set.
#pragma once

namespace karvo::safari {

namespace waits {
inline constexpr double kGreeting = 8.0;         // the application's answer to the greeting
inline constexpr double kAnswerById = 15.0;      // an answer carrying the sent "id"
inline constexpr double kCollection = 0.05;      // a poll's window (never scaled)
inline constexpr double kAuthentication = 5.0;   // the authentication reply
inline constexpr double kLaunch = 15.0;          // the application's start, from the launcher's return
inline constexpr double kLaunchRetry = 0.3;      // pause before each attempt after a launch
inline constexpr double kLauncherAnswer = 5.0;   // the workspace's report on opening the application
}  // namespace waits

// `seconds` multiplied by the scale.
double scaled(double seconds);

// Sets the scale (values of 0 or less are ignored).
void setWaitScale(double scale);

}  // namespace karvo::safari
