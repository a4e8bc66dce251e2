#pragma once
// The ending every job's run() shares (see core/progresssink.h).
#include <functional>

class ProgressSink;

// Runs work, which posts the job's progress and success itself. When work throws an int (-1: cancelled),
// runs cleanUp and posts nothing; when it throws a std::exception, runs cleanUp, then posts the
// exception's text as rich text (errorRichText, core/errors.h) as the job's error.
void runGuarded(ProgressSink* sink, const std::function<void()>& work, const std::function<void()>& cleanUp);
