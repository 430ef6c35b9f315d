#pragma once

#include <QString>

// The product's name and version as notices, the error report and the about
// box show them.
inline constexpr const char* kProductVersion = "3.1.97";
inline constexpr int kProductBuild = 97;
inline constexpr const char* kSupportEmail = "support@marrowquist.com";
// The maker's web site, where the help pages that notices link to live.
inline constexpr const char* kMakerSite = "https://www.marrowquist.com";

// "Marrowquist Chatferry for Mac", translated (context "QObject").
QString g_productTitle();

// The version pair of the error report: "3.1.97(97)".
QString g_productVersionPair();
