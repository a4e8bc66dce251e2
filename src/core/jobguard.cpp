#include "core/jobguard.h"

#include "core/errors.h"
#include "core/progresssink.h"

#include <exception>

void runGuarded(ProgressSink* sink, const std::function<void()>& work, const std::function<void()>& cleanUp)
{
    try {
        work();
    } catch (int) {
        cleanUp();
    } catch (const std::exception& error) {
        cleanUp();
        ProgressSink::postError(sink, errorRichText(error));
    }
}
