// The archive a device's file relay sends: unpacked into a fresh folder, which must end up holding
// only what the unpacking allows (no link, nothing outside).
#include "core/fileutil.h"
#include "device/filerelay.h"
#include "fuzz_support.h"

#include <QDirIterator>
#include <QFile>

#include <cstdlib>
#include <exception>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QDir home(QString::fromUtf8(qgetenv("HOME")));
    const QString archive = home.absoluteFilePath(QStringLiteral("file-relay.cpio"));
    const QString tree = home.absoluteFilePath(QStringLiteral("tree/file-relay"));
    QFile file(archive);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(fuzz::bytes(data, size)) != qint64(size))
        return 0;
    file.close();
    try {
        unpackFileRelayArchive(archive, tree, nullptr);
    } catch (const std::exception&) {
        // Archives that cannot be read or written out are reported as errors; that is the expected answer.
    }
    for (QDirIterator it(home.absoluteFilePath(QStringLiteral("tree")), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
         it.hasNext();) {
        const QFileInfo entry(it.next());
        if (entry.isSymLink() || !entry.absoluteFilePath().startsWith(tree))
            std::abort();
    }
    removeDirRecursive(home.absoluteFilePath(QStringLiteral("tree")));
    return 0;
}
