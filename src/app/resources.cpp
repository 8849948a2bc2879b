#include "app/resources.h"

#include <QCoreApplication>
#include <QDir>
#include <QtGlobal>

// Outside any namespace, as the resource initialiser requires.
static void InitKestrelResources() {
    Q_INIT_RESOURCE(appkit_resources);
}

namespace kestrel {

void InitAppResources() {
    // Also keeps the resource object from being dropped when the library is linked.
    static const bool done = [] {
        InitKestrelResources();
        return true;
    }();
    (void)done;
}

std::vector<QString> ProgramFilePlaces(const QString& programFolder, const QString& name) {
    if (QDir::isAbsolutePath(name))
        return {name};
    const QDir folder(programFolder);
    return {folder.filePath(name),
            QDir::cleanPath(folder.filePath(QString::fromLatin1(kInstalledDataFolder) +
                                            QLatin1Char('/') + name))};
}

std::vector<QString> ProgramFilePlaces(const QString& name) {
    if (QCoreApplication::instance() == nullptr)
        return QDir::isAbsolutePath(name) ? std::vector<QString>{name} : std::vector<QString>{};
    return ProgramFilePlaces(QCoreApplication::applicationDirPath(), name);
}

} // namespace kestrel
