#pragma once
// Who the program is: its name, its product id and its version, named once for titles, the data
// folder, error reports and the update check.
#include <QString>

// The id that names the data folder and goes with every request to the web host.
inline constexpr char kProductId[] = "5F2C9A0E7D3B4E6A9C1F08B2D4E6A7C3";
// The version shown to users and sent with error reports.
inline constexpr char kVersionText[] = "3.2.11";
// The build number the update check compares with the host's.
inline constexpr int kBuildNumber = 31;

// The product name as shown in titles (translation context "QObject").
QString productTitle();
