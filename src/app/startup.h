#pragma once
// The program's start-up, from the application object to the end of the event loop.
#include <optional>

struct StartupOptions {
    // Replaces the SQLite layer's version (tests of the refusal path).
    std::optional<int> sqliteVersion;
    // When set: answer every box without showing it (logged instead), and close the window this many
    // milliseconds after the event loop starts.
    std::optional<int> autoQuitMs;

    // TALLOWMERE_TEST_SQLITE_VERSION and TALLOWMERE_TEST_AUTOQUIT_MS, for the start-up smoke tests.
    static StartupOptions fromEnvironment();
};

// Runs the program; returns the process exit code (1 when the SQLite layer is not the expected one).
int runApplication(int& argc, char** argv, const StartupOptions& options);
