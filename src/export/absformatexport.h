#pragma once
// The interface every exporter implements: open the output, take messages one at a time, close it.
// Failures are thrown as std::exception kin with UTF-8 text. An exporter destroyed without end()
// leaves no finished output: it discards its temporary file or rolls its transaction back.
#include "msgdb/records.h"

template <typename T>
class AbsFormatExport {
public:
    virtual ~AbsFormatExport() = default;

    virtual void begin() = 0;
    virtual void exportMessage(T* message) = 0;
    virtual void end() = 0;
};

using MessageExporter = AbsFormatExport<_MsgMessage>;
