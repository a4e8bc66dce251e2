#pragma once
// Letting go of large data without keeping the caller waiting: a store of a million records takes
// seconds to free, and the GUI thread must not spend them.
#include <QThreadPool>

#include <tuple>
#include <utility>

// Takes over held (shared handles or owners) and drops them on Qt's global thread pool, so that
// whatever was the last reference is freed there. The caller's values are left empty; nothing else
// may still point into the data.
template <typename... Held>
void releaseAside(Held&&... held)
{
    QThreadPool::globalInstance()->start([bundle = std::make_tuple(std::move(held)...)]() mutable {
        bundle = std::tuple<std::decay_t<Held>...>();
    });
}
